#include "engine/report.h"

const char* report_text(const Report& report) {
  switch (report.kind) {
    case Report::kTrig: return "\nTRIG\n";
    case Report::kUntrig: return "UNTRIG\n";
    case Report::kMiam: return "MIAM\n";
    default: return nullptr;
  }
}
