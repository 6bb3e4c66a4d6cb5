// The disk guard: pictures (snapshots, video frames) are skipped while the file system they go
// to has less than a floor of free space, so that a busy camera cannot fill the disk.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace recording {

// What the cameras may have written since the program started: each output adds a bound of
// its bytes (a file is never larger than its bound). Shared by every camera's guards, so that a
// guard sees how much room the others may have taken since it last measured.
class DiskLedger {
  public:
    void Add(int64_t bytes) { total_.fetch_add(bytes, std::memory_order_relaxed); }
    int64_t Total() const { return total_.load(std::memory_order_relaxed); }

  private:
    std::atomic<int64_t> total_{0};
};

class DiskGuard {
  public:
    // floorBytes 0: the guard is off and Room() is always true.
    DiskGuard(int64_t floorBytes, std::string what);
    // Whether the file system of path (a file name; its folder is measured) has room. Measures
    // once a second per guard (nowMs is a steady clock), and at once when what the ledger says
    // was written since the last measurement may have taken the free space under the floor;
    // far from the floor that is never. So at any rate of writing, free space drops at most one
    // frame's files below the floor. A folder that cannot be measured counts as having room.
    // reserve: bytes already written but still held in a writer's buffer, to come on top.
    bool Room(const std::string& path, int64_t nowMs, const DiskLedger* ledger = nullptr,
              int64_t reserve = 0);
    // The next Room() measures, whenever the last measurement was (room was made).
    void Remeasure() { measuredAtMs_ = INT64_MIN; }
    // One stderr line when the camera starts skipping and one when it resumes.
    void Report(int slotIndex, bool room);

  private:
    int64_t floor_;
    std::string what_;
    int64_t measuredAtMs_ = INT64_MIN;
    int64_t freeBytes_ = INT64_MAX;  // at the last measurement
    int64_t ledgerAtMeasure_ = 0;
    bool room_ = true;
    bool reported_ = false;  // a "skipping" line is out and no "resumes" line since
};

}  // namespace recording
