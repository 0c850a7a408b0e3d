// Text helpers of ipc_probe: numbers in decimal or 0x-hex, hex byte strings,
// JSON quoting of 8-bit text and the splitting of command lines. The probe's
// output is line-oriented, so everything that can hold a line break (window
// captions, message-box texts) leaves here quoted and escaped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Splits a line at blanks and tabs. A word in double quotes may hold blanks;
// the quotes are dropped.
std::vector<std::string> SplitWords(const std::string& line);

// Splits at ';' (the separator of the records of one request).
std::vector<std::string> SplitList(const std::string& text, char separator);

// Whole-word numbers. Unsigned: decimal or 0x-hex, at most max. Signed:
// decimal with an optional '-', or 0x-hex, within [min, max]. Return false
// for anything else, so "12abc" or "" never pass as a number.
bool ParseUnsigned(const std::string& word, uint64_t max, uint64_t* value);
bool ParseSigned(const std::string& word, int64_t min, int64_t max, int64_t* value);
bool ParseReal(const std::string& word, double* value);

// Pairs of hex digits, blanks between pairs allowed ("0A0b", "0a 0b").
bool ParseHexBytes(const std::string& text, std::vector<uint8_t>* bytes);

// Upper-case hex digits, two per byte, no separators.
std::string HexBytes(const uint8_t* bytes, size_t size);

// "0x%X".
std::string Hex32(uint64_t value);

// A JSON string literal; bytes from 0x80 up are taken as Latin-1.
std::string JsonQuote(const std::string& text);
