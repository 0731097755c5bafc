// Results of the release check's own steps. Unlike the updater, whose failures are never shown,
// this tool exists to explain them, so a failure here is the sentence the release engineer reads.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "framework/error.h"

namespace pellark::release_check {

template <class T>
using Checked = std::expected<T, std::string>;

// The library's error value in words: its kind, its errno text for Io, and its reason.
std::string describe(const Error& error);

// A value in double quotes, with bytes a terminal would misread written as \xNN.
std::string in_quotes(std::string_view text);

}  // namespace pellark::release_check
