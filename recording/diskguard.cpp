#include "recording/diskguard.h"

#include <sys/statvfs.h>

#include "diag/report.h"
#include "recording/recording.h"

namespace recording {

DiskGuard::DiskGuard(int64_t floorBytes, std::string what)
    : floor_(floorBytes), what_(std::move(what)) {}

bool DiskGuard::Room(const std::string& path, int64_t nowMs, const DiskLedger* ledger,
                     int64_t reserve) {
    if (floor_ <= 0 || path.empty()) return true;
    const int64_t written = ledger ? ledger->Total() : 0;
    if (measuredAtMs_ != INT64_MIN && nowMs - measuredAtMs_ < 1000) {
        // Below the floor it stays so until the next measurement; above, while even the most
        // that was written since cannot have crossed it.
        if (!room_ || freeBytes_ - (written - ledgerAtMeasure_) - reserve >= floor_) return room_;
    }
    measuredAtMs_ = nowMs;
    ledgerAtMeasure_ = written;
    struct statvfs fs;
    if (statvfs(FolderOf(path).c_str(), &fs) != 0) {
        freeBytes_ = INT64_MAX;
        room_ = true;  // a missing folder: the write itself will fail and say so
    } else {
        freeBytes_ = static_cast<int64_t>(fs.f_bavail) * static_cast<int64_t>(fs.f_frsize);
        room_ = freeBytes_ - reserve >= floor_;
    }
    return room_;
}

void DiskGuard::Report(int slotIndex, bool room) {
    if (room == !reported_) return;
    reported_ = !room;
    const std::string camera = "camera " + std::to_string(slotIndex);
    const std::string mb = std::to_string(floor_ / (1024 * 1024));
    ReportError(room ? camera + ": " + what_ + " resume, the disk has room again"
                     : camera + ": less than " + mb + " MB free; " + what_ + " are skipped");
}

}  // namespace recording
