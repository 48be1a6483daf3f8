#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The small text helpers of the client's outputs.
namespace perfprobe {

// printf's rendering of one number: format("%.1f", v).
std::string format(const char* fmt, double value);
// With `decimals` digits after the point, rounded as printf rounds.
std::string fixed(double value, int decimals);
// fixed, or "NA" for no value.
std::string shown(const std::optional<double>& value, int decimals);

// Right-aligned in `width` characters, or left-aligned in -width.
std::string pad(const std::string& text, int width);

// Columns of text: the first left-aligned, the others right-aligned, each
// as wide as its widest cell, two spaces apart; an indent before each line.
std::string columns(const std::vector<std::vector<std::string>>& rows, const std::string& indent);

bool startsWith(std::string_view text, std::string_view prefix);
bool endsWith(std::string_view text, std::string_view suffix);

// Whether text is one or more decimal digits and nothing else.
bool allDigits(std::string_view text);

// A part of a text for a message: the whole of a short one.
std::string excerpt(const std::string& text);

}  // namespace perfprobe
