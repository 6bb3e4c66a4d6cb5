#include "worker/errors.h"

#include "diag/diag.h"

void ReportError(const std::string& text) {
    diag::Line(text);
}
