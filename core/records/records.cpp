#include "core/records/records.hpp"

#include "core/records/json_fields.hpp"
#include "core/records/number_text.hpp"

namespace korvex {

using json::Json;

namespace {

Json toJson(const Inspection& v) {
    return Json{{"bytes", v.bytes},
                {"expanded", v.expanded},
                {"sha256", v.sha256},
                {"expandedSHA256", v.expandedSHA256}};
}

Json toJson(const TargetDisk& v) {
    return Json{{"bsd", v.bsd},
                {"name", v.name},
                {"capacity", v.capacity},
                {"registryID", v.registryID},
                {"bus", v.bus}};
}

Json toJson(const WriteRequest& v) {
    return Json{{"version", v.version},
                {"source", v.source},
                {"inspection", toJson(v.inspection)},
                {"target", toJson(v.target)},
                {"uid", v.uid},
                {"socket", v.socket},
                {"nonce", v.nonce}};
}

Json toJson(const WriteEvent& v) {
    Json j{{"stage", v.stage}, {"completed", v.completed}, {"total", v.total}};
    if (v.message) j["message"] = *v.message;
    return j;
}

Inspection inspectionFrom(const Json& j) {
    return Inspection{json::int64(j, "bytes"), json::int64(j, "expanded"),
                      json::string(j, "sha256"), json::string(j, "expandedSHA256")};
}

TargetDisk targetFrom(const Json& j) {
    return TargetDisk{json::string(j, "bsd"), json::string(j, "name"), json::uint64(j, "capacity"),
                      json::uint64(j, "registryID"), json::string(j, "bus")};
}

}  // namespace

std::string TargetDisk::id() const {
    return bsd + "-" + std::to_string(registryID) + "-" + std::to_string(capacity);
}

std::string TargetDisk::label() const {
    const std::string gigabytes = fixedDecimal(static_cast<double>(capacity) / 1e9, 1);
    return name + " \u00B7 " + gigabytes + " GB \u00B7 " + bsd;
}

std::string encode(const Inspection& value) {
    return toJson(value).dump();
}
std::string encode(const TargetDisk& value) {
    return toJson(value).dump();
}
std::string encode(const WriteRequest& value) {
    return toJson(value).dump();
}
std::string encode(const WriteEvent& value) {
    return toJson(value).dump();
}

Inspection decodeInspection(std::string_view text) {
    return inspectionFrom(json::parse(text));
}

TargetDisk decodeTargetDisk(std::string_view text) {
    return targetFrom(json::parse(text));
}

WriteRequest decodeWriteRequest(std::string_view text) {
    Json j = json::parse(text);
    WriteRequest r;
    r.version = json::int64(j, "version");
    r.source = json::string(j, "source");
    r.inspection = inspectionFrom(json::field(j, "inspection"));
    r.target = targetFrom(json::field(j, "target"));
    r.uid = json::uint32(j, "uid");
    r.socket = json::string(j, "socket");
    r.nonce = json::string(j, "nonce");
    return r;
}

WriteEvent decodeWriteEvent(std::string_view text) {
    Json j = json::parse(text);
    return WriteEvent{json::string(j, "stage"), json::int64(j, "completed"),
                      json::int64(j, "total"), json::optionalString(j, "message")};
}

}  // namespace korvex
