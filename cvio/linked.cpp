// Linked into tests and benchmarks, whose folders do not hold the module: they carry it as
// an ordinary shared library, and the loader finds it already there.
#include "cvio/table.h"

extern const cvio::Table* (*const kCvioLinked)();
__attribute__((used)) const cvio::Table* (*const kCvioLinked)() = &camwatch_cvio_table;
