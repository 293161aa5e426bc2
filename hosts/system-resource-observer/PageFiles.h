// The files of the system observer's page, built into the program from page/ and the chart
// library's package (PageFiles.cpp is generated).
#pragma once

#include <span>
#include <string_view>

namespace hosts {

struct PageFile {
    std::string_view path;  // as the browser asks for it
    std::string_view contentType;
    std::string_view body;
};

std::span<const PageFile> PageFiles();

}  // namespace hosts
