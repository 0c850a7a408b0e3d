// The settings file: the two addresses in section "[Network Settings]".
// Read once at start-up, before any other thread exists, into the
// NetworkSettings that LoadSettingsAtStart returns. The reader, the writer
// and the loaders return a Status (base/result.h) whose text says what failed.
//
// The reader and the writer walk the file line by line with one small
// grammar (sections, key lines, comments) and a table of typed entries. Files
// are opened in binary mode; a CR LF pair is read as one line end and every
// line is written with CR LF, so the file is the same on every platform.
// Paths follow the Windows rules ('\' separates folders).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "base/result.h"
#include "shell/run_mode.h"

inline constexpr size_t kSettingsPathSize = 260;

// Set by LoadSettingsAtStart (tests set it directly); the file read and written.
extern char settingsPath[kSettingsPathSize];

inline constexpr size_t kSettingsLineSize = 132;  // line, key, value and section buffers
inline constexpr int kSettingsLineMax = 127;      // characters taken by one line read
inline constexpr size_t kWrittenValueMax = 129;   // a new value is cut to this many characters

inline constexpr char kLocalAddressKey[] = "IP Address of THIS PC";
inline constexpr char kServerAddressKey[] = "IP Address of server";
inline constexpr char kSettingsBoxCaption[] = "Reading of Inifile Failed!";

inline constexpr size_t kAddressTextSize = 100;  // an address text (99 characters at most) and its NUL

// The two addresses of the file, as text. The values given here are the
// defaults, kept when the file names no address.
struct NetworkSettings {
  char thisPc[kAddressTextSize] = "192.168.1.60";  // "IP Address of THIS PC"
  char server[kAddressTextSize] = "192.168.1.40";  // "IP Address of server"
};

// How a value text is converted into an entry's destination.
enum SettingsKind : uint32_t {
  kSettingsText = 0,     // char buffer: the text as it stands; a leading '"' drops the first and last character
  kSettingsByte = 1,     // uint8_t: decimal integer, low 8 bits
  kSettingsInt = 2,      // int32_t: decimal integer (kinds 3, 4 and 5 are read the same way)
  kSettingsDouble = 6,   // double: decimal number with optional point and exponent
  kSettingsFlag = 7,     // uint32_t: 1 when the text starts with y, Y, t or T, else 0
  kSettingsIntList = 8,  // int32_t array: pieces split at blanks, commas and tabs
};

// One row of a reader table; a table ends with a row whose key is null.
struct SettingsEntry {
  const char* key;    // compared in full, ignoring ASCII case
  void* destination;  // where the converted value goes
  uint32_t kind;      // a SettingsKind; any other value stops reading (kBadInput)
  size_t size;        // bytes at destination: text is cut to size - 1
                      // characters, a list keeps its first size / 4 pieces
};

// What ClassifySettingsLine finds.
enum SettingsLineClass {
  kBlankLine = 0,       // empty or all blank
  kCommentLine = 1,     // first non-blank is ';', '%' or '#'
  kWantedKeyLine = 2,   // key line while the wanted section is open
  kOtherKeyLine = 3,    // key line in any other section (or before the first header)
  kOtherHeader = 4,     // header of another section; the wanted one was not open
  kWantedHeader = 5,    // header equal to the wanted header, ignoring case
  kClosingHeader = 6,   // header of another section that closes the wanted one
};

// Reads one line of at most kSettingsLineMax characters (a longer physical
// line comes out in pieces) into line (kSettingsLineSize bytes) and strips
// trailing CR and LF. Returns its length, or -1 at the end of the file, on a
// read error, or when the file ended within this line (line is then empty:
// an unterminated last line is dropped).
int ReadSettingsLine(char* line, FILE* stream);

// Classifies line. A header line (the text from '[' to the end) is copied
// into currentSection (kSettingsLineSize bytes; "[]" before the first one).
int ClassifySettingsLine(const char* line, char* currentSection, const char* wantedHeader);

// Splits a key line into key and value (kSettingsLineSize bytes each): the
// key up to the first '=' without trailing blanks, the value after it without
// leading blanks or further '=', without a trailing ';' comment (unless a '"'
// follows the last ';') and without trailing blanks. A line without '=' is a
// key with an empty value.
void SplitKeyValue(const char* line, char* key, char* value);

// Turns a settings path (kSettingsPathSize bytes) into the path of its
// temporary copy in place: '/' becomes '\', the extension becomes "tmp" (a
// '.' is appended when the last folder entry has none). Returns 1, or 0 when
// the result would not fit (path is then unchanged).
int MakeTempPath(char* path);

// Writes the formatted text, then ": " and the system's message for the last
// error of the file functions and "\n". Returns the characters written or -1.
int PrintWithSystemError(FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A file that cannot be opened gives kCannotOpen, after the line
// "Can't open <path>: <reason>" on standard error, whichever operation below
// met it. The program then ends with exit code 1 and shows no box.

// Reads settingsPath and assigns every key line of the section (by default
// "[Network Settings]") that matches a row (a later line overwrites an
// earlier one); *assigned gets the number of assignments made, also when
// reading stopped early. Returns done, kBadInput for a matching row of
// unknown kind (the text names its key; the reading stops there), kFailed on
// a read error, kCannotOpen.
Status ReadSettingsEntries(const SettingsEntry* table, int* assigned, const char* section = "Network Settings");

// Rewrites settingsPath through its temporary copy with key set to value (cut
// to kWrittenValueMax characters): the first matching key line of the section
// gets the value, every key line of the section comes out as "key = value",
// all other lines are copied; a missing key (and section) is added. Returns
// done, kCannotOpen when either file cannot be opened, kFailed (the text
// names what) on a read or write error, when the copy cannot replace the
// file, or when the temporary copy's path does not fit.
Status WriteSettingsEntry(const char* key, const char* value);

// Reads both addresses into *settings. A value longer than 99 characters is
// cut to its first 99, so it always fits (it is then no valid address and the
// network start-up fails on it). Returns done when both keys were found,
// kBadInput as soon as one is missing (the text names it), kFailed on a read
// error, kCannotOpen. An address found before a failure is kept in *settings.
Status LoadNetworkSettings(NetworkSettings* settings);

// Writes a new file at settingsPath with the header, the section and both
// addresses of settings. Returns done; kCannotOpen as soon as the writer
// cannot open the file or its temporary copy; else the first kFailed of the
// writer (both addresses are still tried).
Status CreateDefaultSettings(const NetworkSettings& settings);

// The start-up sequence: sets settingsPath for the mode, creates the file
// with the defaults when it does not exist, and loads it. On kLoaded the
// caller configures the link with network.
struct SettingsAtStart {
  enum Outcome {
    kLoaded,      // both addresses are loaded
    kInvalid,     // show box (caption kSettingsBoxCaption) and end with exit code 0
    kCannotOpen,  // "Can't open ..." is on standard error: end with exit code 1, no box
  } outcome;
  const char* box;  // kInvalid: the box's text, which depends on whether the file existed and on the mode
  NetworkSettings network;  // kLoaded: the addresses loaded
};
SettingsAtStart LoadSettingsAtStart(RunMode mode);
