#include "diag/report.h"

#include "diag/diag.h"

void ReportError(const std::string& text) {
    diag::Line(text);
}
