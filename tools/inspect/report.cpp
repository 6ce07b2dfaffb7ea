// Report formatting; see report.h.
#include "tools/inspect/report.h"

#include <cstdio>

namespace lumaro::inspect {
namespace {

std::string Hex(std::uint64_t value, int digits) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%0*llx", digits, static_cast<unsigned long long>(value));
  return text;
}

void Line(std::string& out, std::string_view key, const std::string& value) {
  out.append(key).append(": ").append(value).append("\n");
}

}  // namespace

std::string FormatReport(const Inspection& inspection, bool list, std::string_view version,
                         std::string_view identity_lines) {
  const PayloadLocation& where = inspection.where;
  const StreamWalk& stream = where.stream;
  std::string out;
  if (!version.empty()) Line(out, "version", OneLine(version));
  out.append(identity_lines);
  Line(out, "build-id", OneLine(where.build_id));
  Line(out, "package-size", std::to_string(where.package_size));
  Line(out, "compressed-size", std::to_string(where.compressed_size));
  Line(out, "package-crc32", Hex(where.package_crc32, 8));
  Line(out, "record", Hex(where.record_offset, 0) + " in " + where.record_section);
  Line(out, "constants", Hex(where.constants_offset, 0) + " in " + where.constants_section);
  if (stream.header_ok) {
    Line(out, "chunk-size", std::to_string(stream.chunk_size));
    Line(out, "chunk-count", std::to_string(stream.chunk_count));
  }
  if (stream.complete()) Line(out, "stored-chunks", std::to_string(stream.stored_chunks));
  if (inspection.entries) {
    Line(out, "files", std::to_string(inspection.entries->size()));
    Line(out, "total-bytes", std::to_string(inspection.total_bytes));
  }
  std::string sizes = "agree";
  if (!inspection.mismatches.empty()) {
    sizes = "DISAGREE (";
    for (std::size_t i = 0; i < inspection.mismatches.size(); ++i) {
      sizes += (i ? "; " : "") + inspection.mismatches[i];
    }
    sizes += ")";
  } else if (!stream.complete()) {
    sizes = "unknown (the stream could not be walked)";
  }
  Line(out, "sizes", sizes);
  Line(out, "payload", inspection.intact() ? "intact" : "DAMAGED (" + OneLine(*inspection.damage) + ")");
  if (list && inspection.entries) {
    for (const PackageEntry& entry : *inspection.entries) {
      Line(out, "file", std::to_string(entry.data.size()) + " " + OneLine(entry.name));
    }
  }
  return out;
}

}  // namespace lumaro::inspect
