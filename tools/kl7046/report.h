// The demo's summary: for a person, or as one JSON object for scripts.
#pragma once

#include <ostream>
#include <string>

#include "kl7046/demo.h"

namespace kl::tools {

// `text` as a JSON string, quoted and escaped.
void jsonString(std::ostream& out, const std::string& text);

void printReport(const DemoReport& report, std::ostream& out);
void printReportJson(const DemoReport& report, std::ostream& out);

}  // namespace kl::tools
