#include "supervisor/supervisor.h"

int RunProgram(WorkerEntry, CameraOpener) { return 0; }
bool ReadWord(std::istream&, std::string&) { return false; }
void RunConsole(std::istream&, std::ostream&, int) {}
