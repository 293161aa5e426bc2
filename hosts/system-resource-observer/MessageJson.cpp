#include "hosts/system-resource-observer/MessageJson.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>
#include <google/protobuf/reflection.h>

#include <charconv>
#include <cmath>
#include <cstdio>

namespace hosts {

namespace {

using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;

// One value of `field` (element `index` of a repeated field, or -1).
void AppendValue(const Message& message, const Reflection& reflection, const FieldDescriptor& field, int index, std::string& out)
{
    const bool repeated = index >= 0;
    switch (field.cpp_type()) {
    case FieldDescriptor::CPPTYPE_BOOL:
        out.append((repeated ? reflection.GetRepeatedBool(message, &field, index) : reflection.GetBool(message, &field)) ? "true" : "false");
        break;
    case FieldDescriptor::CPPTYPE_INT32:
        out.append(std::to_string(repeated ? reflection.GetRepeatedInt32(message, &field, index) : reflection.GetInt32(message, &field)));
        break;
    case FieldDescriptor::CPPTYPE_UINT32:
        out.append(std::to_string(repeated ? reflection.GetRepeatedUInt32(message, &field, index) : reflection.GetUInt32(message, &field)));
        break;
    case FieldDescriptor::CPPTYPE_INT64:
        out.append("\"" + std::to_string(repeated ? reflection.GetRepeatedInt64(message, &field, index) : reflection.GetInt64(message, &field)) + "\"");
        break;
    case FieldDescriptor::CPPTYPE_UINT64:
        out.append("\"" + std::to_string(repeated ? reflection.GetRepeatedUInt64(message, &field, index) : reflection.GetUInt64(message, &field)) + "\"");
        break;
    case FieldDescriptor::CPPTYPE_DOUBLE:
        AppendNumber(repeated ? reflection.GetRepeatedDouble(message, &field, index) : reflection.GetDouble(message, &field), out);
        break;
    case FieldDescriptor::CPPTYPE_FLOAT:
        AppendNumber(repeated ? reflection.GetRepeatedFloat(message, &field, index) : reflection.GetFloat(message, &field), out);
        break;
    case FieldDescriptor::CPPTYPE_STRING: {
        std::string scratch;
        AppendString(repeated ? reflection.GetRepeatedStringReference(message, &field, index, &scratch)
                              : reflection.GetStringReference(message, &field, &scratch),
                     out);
        break;
    }
    case FieldDescriptor::CPPTYPE_ENUM:
        AppendString((repeated ? reflection.GetRepeatedEnum(message, &field, index) : reflection.GetEnum(message, &field))->name(), out);
        break;
    case FieldDescriptor::CPPTYPE_MESSAGE:
        AppendJson(repeated ? reflection.GetRepeatedMessage(message, &field, index) : reflection.GetMessage(message, &field), out);
        break;
    }
}

}  // namespace

void AppendNumber(double value, std::string& out)
{
    if (std::isnan(value)) {
        out.append("\"NaN\"");
        return;
    }
    if (std::isinf(value)) {
        out.append(value > 0 ? "\"Infinity\"" : "\"-Infinity\"");
        return;
    }
    constexpr double kExactIntegers = 9007199254740992.0;  // 2^53
    char text[32];
    const bool integral = std::trunc(value) == value && std::fabs(value) < kExactIntegers;
    const auto end = integral ? std::to_chars(text, text + sizeof text, value, std::chars_format::fixed).ptr
                              : std::to_chars(text, text + sizeof text, value).ptr;
    out.append(text, end);
}

void AppendString(const std::string& text, std::string& out)
{
    out.push_back('"');
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out.append(escaped);
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
}

void AppendJson(const Message& message, std::string& out)
{
    const Reflection& reflection = *message.GetReflection();
    const google::protobuf::Descriptor& descriptor = *message.GetDescriptor();
    out.push_back('{');
    const char* separator = "";
    for (int i = 0; i < descriptor.field_count(); ++i) {
        const FieldDescriptor& field = *descriptor.field(i);
        if (!field.is_repeated() && field.has_presence() && !reflection.HasField(message, &field))
            continue;
        out.append(separator);
        separator = ", ";
        AppendString(field.name(), out);
        out.append(": ");
        if (!field.is_repeated()) {
            AppendValue(message, reflection, field, -1, out);
            continue;
        }
        // The elements of a list of messages one a line: a status is read line by line.
        const bool lines = field.cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE;
        out.push_back('[');
        for (int element = 0; element < reflection.FieldSize(message, &field); ++element) {
            out.append(element == 0 ? "" : ",");
            out.append(lines ? "\n" : element == 0 ? "" : " ");
            AppendValue(message, reflection, field, element, out);
        }
        out.append(lines && reflection.FieldSize(message, &field) > 0 ? "\n]" : "]");
    }
    out.push_back('}');
}

}  // namespace hosts
