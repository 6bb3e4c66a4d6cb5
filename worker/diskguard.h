// The disk guard: pictures (snapshots, video frames) are skipped while the file system they go
// to has less than a floor of free space, so that a busy camera cannot fill the disk.
#pragma once

#include <cstdint>
#include <string>

class DiskGuard {
  public:
    // floorBytes 0: the guard is off and Room() is always true.
    DiskGuard(int64_t floorBytes, std::string what);
    // Whether the file system of path (a file name; its folder is measured) has room. Measures
    // at most once a second per guard (nowMs is a steady clock); a folder that cannot be
    // measured counts as having room.
    bool Room(const std::string& path, int64_t nowMs);
    // One stderr line when the camera starts skipping and one when it resumes.
    void Report(int slotIndex, bool room);

  private:
    int64_t floor_;
    std::string what_;
    int64_t measuredAtMs_ = INT64_MIN;
    bool room_ = true;
    bool reported_ = false;  // a "skipping" line is out and no "resumes" line since
};
