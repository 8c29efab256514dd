#include "kl7046/report.h"

#include "kl7046/bus_cycles.h"
#include "sim/card/timing.h"

#include <chrono>
#include <cstdio>
#include <iomanip>
#include <string>

namespace kl::tools {

namespace {

std::string hex32(ULONG value) {
  char text[11];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(value));
  return text;
}

// A statistic as the driver answered it, with the unit of those that have one.
std::string statisticText(const std::string& name, const std::optional<ULONG>& value) {
  if (!value) {
    return "not answered";
  }
  if (name == "LINK_SPEED") {
    return std::to_string(*value) + " (" + std::to_string(*value / 10000) + " Mbit/s)";
  }
  if (name == "MEDIA_CONNECT_STATUS") {
    return std::to_string(*value) + (*value == 0 ? " (connected)" : " (disconnected)");
  }
  return std::to_string(*value);
}

// The longest busy wait at each level: the microseconds, `between` and the
// level's name, joined by `separator`.
std::string busyWaits(const DemoReport& report, const std::string& between,
                      const std::string& separator) {
  std::string text;
  for (const sim::Irql level : {sim::Irql::Passive, sim::Irql::Dispatch, sim::Irql::Device}) {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                        report.longestBusyWait[static_cast<std::size_t>(level)])
                        .count();
    text += (text.empty() ? "" : separator) + std::to_string(us) + between +
            std::string(sim::nameOf(level));
  }
  return text;
}

std::string verdict(const DemoReport& report) {
  if (!report.failure.empty()) {
    return "FAILED: " + report.failure;
  }
  if (!report.violations.empty()) {
    return "FAILED: the driver broke an NDIS rule: " + report.violations.front();
  }
  if (report.clean()) {
    return "every frame arrived intact, once and in order";
  }
  std::string problems;
  for (std::size_t i = 0; i < report.adapters.size(); ++i) {
    const AdapterReport& adapter = report.adapters[i];
    const sim::world::StationCounts& c = adapter.counts;
    const std::pair<std::uint64_t, const char*> counts[] = {
        {c.damaged, "arrived damaged"},
        {adapter.missing, "never arrived intact"},
        {c.duplicates, "arrived twice"},
        {c.outOfOrder, "arrived out of order"},
        {c.sendsFailed, "were completed with an error"},
        {c.framesSent - c.sendsCompleted - c.sendsFailed, "were never completed"},
    };
    for (const auto& [count, what] : counts) {
      if (count != 0) {
        problems += (problems.empty() ? "" : "; ") + std::to_string(count) + " frame" +
                    (count == 1 ? "" : "s") + " " + what + " at adapter " + std::to_string(i + 1);
      }
    }
  }
  return "FAILED: " + problems;
}

void row(std::ostream& out, const std::string& label, const std::string& first,
         const std::string& second) {
  out << "  " << std::left << std::setw(24) << label << std::setw(24) << first << second << '\n';
}

template <class Field>
void countRow(std::ostream& out, const DemoReport& report, const std::string& label, Field field) {
  row(out, label, std::to_string(field(report.adapters[0])),
      std::to_string(field(report.adapters[1])));
}

void jsonAdapter(std::ostream& out, const AdapterReport& adapter) {
  const sim::world::StationCounts& c = adapter.counts;
  out << "{\"address\":";
  jsonString(out, adapter.address);
  out << ",\"frames_sent\":" << c.framesSent << ",\"bytes_sent\":" << c.bytesSent
      << ",\"sends_completed\":" << c.sendsCompleted << ",\"sends_failed\":" << c.sendsFailed
      << ",\"frames_received\":" << c.framesReceived << ",\"bytes_received\":" << c.bytesReceived
      << ",\"missing\":" << adapter.missing << ",\"damaged\":" << c.damaged
      << ",\"duplicates\":" << c.duplicates << ",\"out_of_order\":" << c.outOfOrder
      << ",\"foreign\":" << c.foreign << ",\"collisions\":" << adapter.collisions
      << ",\"given_up\":" << adapter.givenUp << ",\"statistics\":{";
  const char* comma = "";
  for (const auto& [name, value] : adapter.statistics) {
    out << comma << '"' << name << "\":";
    if (value) {
      out << *value;
    } else {
      out << "null";
    }
    comma = ",";
  }
  out << "}}";
}

}  // namespace

void jsonString(std::ostream& out, const std::string& text) {
  out << '"';
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out << '\\' << c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[7];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
      out << escaped;
    } else {
      out << c;
    }
  }
  out << '"';
}

void printReport(const DemoReport& report, std::ostream& out) {
  const DemoOptions& o = report.options;
  out << "KL7046 demo: two emulated cards on one cable, " << o.frames << " frames each way, "
      << o.minSize << " to " << o.maxSize << " bytes, " << o.busWidth << "-bit bus, card type "
      << o.cardType << ", seed " << o.seed << (o.driver.empty() ? "" : ", driver " + o.driver)
      << (report.busCycles.ideal() ? "" : ", port cycles " + describeBusCycles(report.busCycles))
      << ", timing " << sim::card::describeTiming(report.timing) << "\n\n";
  if (report.broughtUp) {
    out << "  link                    "
        << (report.speedMbps != 0
                ? std::to_string(report.speedMbps) + " Mbit/s " + report.duplex + " duplex"
                : std::string("down"))
        << "\n";
    row(out, "", "adapter 1", "adapter 2");
    row(out, "address", report.adapters[0].address, report.adapters[1].address);
    countRow(out, report, "frames sent",
             [](const AdapterReport& a) { return a.counts.framesSent; });
    countRow(out, report, "bytes sent", [](const AdapterReport& a) { return a.counts.bytesSent; });
    countRow(out, report, "frames received",
             [](const AdapterReport& a) { return a.counts.framesReceived; });
    countRow(out, report, "bytes received",
             [](const AdapterReport& a) { return a.counts.bytesReceived; });
    countRow(out, report, "missing", [](const AdapterReport& a) { return a.missing; });
    countRow(out, report, "damaged", [](const AdapterReport& a) { return a.counts.damaged; });
    countRow(out, report, "duplicates", [](const AdapterReport& a) { return a.counts.duplicates; });
    countRow(out, report, "sends failed",
             [](const AdapterReport& a) { return a.counts.sendsFailed; });
    countRow(out, report, "collisions", [](const AdapterReport& a) { return a.collisions; });
    countRow(out, report, "given up after 16", [](const AdapterReport& a) { return a.givenUp; });
    out << "\n  driver statistics\n";
    for (std::size_t i = 0; i < report.adapters[0].statistics.size(); ++i) {
      const std::string& name = report.adapters[0].statistics[i].first;
      row(out, "  " + name, statisticText(name, report.adapters[0].statistics[i].second),
          statisticText(name, report.adapters[1].statistics[i].second));
    }
    out << '\n';
  }
  out << "  error log               " << (report.errorLog.empty() ? "empty" : "") << '\n';
  for (const ErrorLogLine& line : report.errorLog) {
    out << "    adapter " << line.adapter << ": " << hex32(line.code);
    for (const ULONG value : line.values) {
      out << ' ' << hex32(value);
    }
    out << '\n';
  }
  out << "  longest busy wait       " << busyWaits(report, " us at ", ", ") << '\n';
  out << "  time                    " << std::fixed << std::setprecision(3) << report.virtualSeconds
      << " s virtual, " << report.hostSeconds << " s on this host\n";
  out << "  result                  " << verdict(report) << '\n';
}

void printReportJson(const DemoReport& report, std::ostream& out) {
  const DemoOptions& o = report.options;
  out << "{\"frames_each_way\":" << o.frames << ",\"min_size\":" << o.minSize
      << ",\"max_size\":" << o.maxSize << ",\"bus_width\":" << o.busWidth
      << ",\"card_type\":" << o.cardType << ",\"seed\":" << o.seed << ",\"bus_cycle_ns\":["
      << report.busCycles.byteCycle.count() << ',' << report.busCycles.wordCycle.count() << ']'
      << ",\"timing\":";
  jsonString(out, sim::card::describeTiming(report.timing));
  out << R"(,"link":{"up":)" << (report.speedMbps != 0 ? "true" : "false")
      << ",\"speed_mbps\":" << report.speedMbps << ",\"duplex\":";
  jsonString(out, report.duplex);
  out << "},\"adapters\":[";
  jsonAdapter(out, report.adapters[0]);
  out << ',';
  jsonAdapter(out, report.adapters[1]);
  out << "],\"error_log\":[";
  const char* comma = "";
  for (const ErrorLogLine& line : report.errorLog) {
    out << comma << "{\"adapter\":" << line.adapter << ",\"code\":" << line.code << ",\"values\":[";
    for (std::size_t i = 0; i < line.values.size(); ++i) {
      out << (i == 0 ? "" : ",") << line.values[i];
    }
    out << "]}";
    comma = ",";
  }
  out << "],\"violations\":[";
  for (std::size_t i = 0; i < report.violations.size(); ++i) {
    out << (i == 0 ? "" : ",");
    jsonString(out, report.violations[i]);
  }
  out << "],\"longest_busy_wait_us\":{";
  const char* separator = "";
  for (const sim::Irql level : {sim::Irql::Passive, sim::Irql::Dispatch, sim::Irql::Device}) {
    out << separator << '"' << sim::nameOf(level) << "\":"
        << std::chrono::duration_cast<std::chrono::microseconds>(
               report.longestBusyWait[static_cast<std::size_t>(level)])
               .count();
    separator = ",";
  }
  out << '}';
  out << ",\"virtual_seconds\":" << report.virtualSeconds
      << ",\"host_seconds\":" << report.hostSeconds
      << ",\"ok\":" << (report.clean() ? "true" : "false") << ",\"result\":";
  jsonString(out, verdict(report));
  out << "}\n";
}

}  // namespace kl::tools
