// JSON of a status message, written in one pass over the message by its schema: the schema's field
// names, fields without presence always (zero values too), fields with presence only when set,
// numbers as JSON numbers (64-bit integers as strings), as protobuf's JSON mapping has them and
// its parser reads them, at a small part of the cost of protobuf's own printer. A field added to
// the schema appears without a change here, but for lists: the callers write their list of
// machines themselves, one a line, and a machine's status has none.
#pragma once

#include <string>

namespace google::protobuf {
class Message;
}

namespace hosts {

// Appends `message` as one JSON object to `out`.
void AppendJson(const google::protobuf::Message& message, std::string& out);
// Appends `value` as JSON: integral figures as integers, the rest in their shortest exact form,
// what JSON has no number for as protobuf writes it.
void AppendNumber(double value, std::string& out);
// Appends `text` as a JSON string.
void AppendString(const std::string& text, std::string& out);

}  // namespace hosts
