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

// The value of the singular `field`.
void AppendValue(const Message& message, const Reflection& reflection, const FieldDescriptor& field, std::string& out)
{
    switch (field.cpp_type()) {
    case FieldDescriptor::CPPTYPE_BOOL:
        out.append(reflection.GetBool(message, &field) ? "true" : "false");
        break;
    case FieldDescriptor::CPPTYPE_INT32:
        out.append(std::to_string(reflection.GetInt32(message, &field)));
        break;
    case FieldDescriptor::CPPTYPE_UINT32:
        out.append(std::to_string(reflection.GetUInt32(message, &field)));
        break;
    case FieldDescriptor::CPPTYPE_INT64:
        out.append("\"" + std::to_string(reflection.GetInt64(message, &field)) + "\"");
        break;
    case FieldDescriptor::CPPTYPE_UINT64:
        out.append("\"" + std::to_string(reflection.GetUInt64(message, &field)) + "\"");
        break;
    case FieldDescriptor::CPPTYPE_DOUBLE:
        AppendNumber(reflection.GetDouble(message, &field), out);
        break;
    case FieldDescriptor::CPPTYPE_FLOAT:
        AppendNumber(reflection.GetFloat(message, &field), out);
        break;
    case FieldDescriptor::CPPTYPE_STRING: {
        std::string scratch;
        AppendString(reflection.GetStringReference(message, &field, &scratch), out);
        break;
    }
    case FieldDescriptor::CPPTYPE_ENUM:
        AppendString(reflection.GetEnum(message, &field)->name(), out);
        break;
    case FieldDescriptor::CPPTYPE_MESSAGE:
        AppendJson(reflection.GetMessage(message, &field), out);
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
        if (field.is_repeated() || (field.has_presence() && !reflection.HasField(message, &field)))
            continue;
        out.append(separator);
        separator = ", ";
        AppendString(field.name(), out);
        out.append(": ");
        AppendValue(message, reflection, field, out);
    }
    out.push_back('}');
}

}  // namespace hosts
