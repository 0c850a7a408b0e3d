// Reader and writer of the settings file. Both walk the file with
// ReadSettingsLine and ClassifySettingsLine; the reader converts values
// through a table of typed entries, the writer copies the file to a
// temporary file with one key changed and then puts the copy in its place.
// Runs on the main thread during start-up only. Nothing here knows the link.
#include "shell/settings.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "base/file_replace.h"
#include "base/version.h"

char settingsPath[kSettingsPathSize] = "Kestrovaline.ini";

namespace {

constexpr char kNetworkSection[] = "Network Settings";
constexpr size_t kMessageSize = 512;
constexpr size_t kLoadedValueSize = 128;  // any value a line can carry: 125 characters and the NUL

constexpr char kInvalidStandalone[] = "Invalid Inifile!\nPlease delete it!";
constexpr char kInvalidPlugin[] = "Invalid Inifile!\n Please delete it!";
constexpr char kInvalidCreated[] = "Invalid Inifile!";

int IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

const char* SkipBlanks(const char* p) {
  while (IsBlank(*p)) ++p;
  return p;
}

void TrimTrailingBlanks(char* text) {
  size_t n = std::strlen(text);
  while (n > 0 && IsBlank(text[n - 1])) text[--n] = '\0';
}

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

int EqualIgnoringCase(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b)
    if (LowerAscii(*a) != LowerAscii(*b)) return 0;
  return *a == *b;
}

// Copies at most size - 1 characters of the first n of text, always ends out.
void CopyCut(char* out, size_t size, const char* text, size_t n) {
  if (size == 0) return;
  if (n > size - 1) n = size - 1;
  std::memcpy(out, text, n);
  out[n] = '\0';
}

void CopyText(char* out, size_t size, const char* text) { CopyCut(out, size, text, std::strlen(text)); }

// Opens the file, or writes "Can't open <path>: <reason>" to standard error,
// puts the same words into *failure (kCannotOpen) and returns null.
FILE* OpenOrReport(const char* path, const char* mode, Status* failure) {
  FILE* stream = std::fopen(path, mode);
  if (stream != nullptr) return stream;
  const int error = errno;
  PrintWithSystemError(stderr, "Can't open %s", path);
  *failure = Status::Failure(Outcome::kCannotOpen, "Can't open %s: %s", path, std::strerror(error));
  return nullptr;
}

// Decimal integer: leading blanks, an optional sign, digits up to the first
// other character; 0 without digits. Wraps modulo 2^32 instead of overflowing.
int32_t ParseInteger(const char* text) {
  const char* p = SkipBlanks(text);
  const bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  uint32_t n = 0;
  for (; *p >= '0' && *p <= '9'; ++p) n = n * 10u + uint32_t(*p - '0');
  return int32_t(negative ? 0u - n : n);
}

// Decimal number: sign, digits, optional point and digits, optional exponent;
// only that prefix is converted, so "inf", "nan" and hex texts read as 0.
double ParseNumber(const char* text) {
  const char* start = SkipBlanks(text);
  const char* p = start;
  auto digits = [&p] {
    const char* from = p;
    while (*p >= '0' && *p <= '9') ++p;
    return p != from;
  };
  if (*p == '-' || *p == '+') ++p;
  bool any = digits();
  if (*p == '.') {
    ++p;
    any = digits() || any;
  }
  if (!any) return 0.0;
  if (*p == 'e' || *p == 'E') {
    const char* mark = p++;
    if (*p == '-' || *p == '+') ++p;
    if (!digits()) p = mark;
  }
  char number[kSettingsLineSize];
  CopyCut(number, sizeof number, start, size_t(p - start));
  return std::strtod(number, nullptr);
}

// Splits at blanks, commas and tabs and stores up to capacity integers.
void ParseIntegerList(const char* text, int32_t* out, size_t capacity) {
  size_t count = 0;
  const char* p = text;
  while (count < capacity) {
    p += std::strspn(p, " ,\t");
    if (*p == '\0') break;
    out[count++] = ParseInteger(p);
    p += std::strcspn(p, " ,\t");
  }
}

// Converts value into the row's destination. Returns 0 for an unknown kind.
int ConvertValue(const SettingsEntry& row, const char* value) {
  switch (row.kind) {
    case kSettingsText: {
      if (value[0] != '"') {
        CopyText(static_cast<char*>(row.destination), row.size, value);
      } else {
        const size_t n = std::strlen(value);
        CopyCut(static_cast<char*>(row.destination), row.size, value + 1, n >= 2 ? n - 2 : 0);
      }
      return 1;
    }
    case kSettingsByte:
      *static_cast<uint8_t*>(row.destination) = uint8_t(ParseInteger(value));
      return 1;
    case kSettingsInt:
    case 3:
    case 4:
    case 5:
      *static_cast<int32_t*>(row.destination) = ParseInteger(value);
      return 1;
    case kSettingsDouble:
      *static_cast<double*>(row.destination) = ParseNumber(value);
      return 1;
    case kSettingsFlag: {
      const char c = value[0];
      *static_cast<uint32_t*>(row.destination) = c == 'y' || c == 'Y' || c == 't' || c == 'T';
      return 1;
    }
    case kSettingsIntList:
      ParseIntegerList(value, static_cast<int32_t*>(row.destination), row.size / sizeof(int32_t));
      return 1;
  }
  return 0;
}

void FormatWantedHeader(char* out, const char* name = kNetworkSection) { std::snprintf(out, kSettingsLineSize, "[%s]", name); }

void PutLine(FILE* out, const char* line) { std::fprintf(out, "%s\r\n", line); }

void PutKeyLine(FILE* out, const char* key, const char* value) { std::fprintf(out, "%s = %s\r\n", key, value); }

// Reads key into address (kAddressTextSize bytes, cut to fit). Returns done
// when found, kBadInput naming the key when not, or the reader's failure.
Status LoadAddress(const char* key, char* address) {
  char value[kLoadedValueSize];
  const SettingsEntry table[] = {{key, value, kSettingsText, sizeof value}, {nullptr, nullptr, 0, 0}};
  int found = 0;
  const Status read = ReadSettingsEntries(table, &found);
  if (!read.ok()) return read;
  if (found == 0) return Status::Failure(Outcome::kBadInput, "No \"%s\" in [%s]", key, kNetworkSection);
  CopyText(address, kAddressTextSize, value);
  return Status::Done();
}

}  // namespace

int ReadSettingsLine(char* line, FILE* stream) {
  int n = 0;
  while (n < kSettingsLineMax) {
    int c = std::getc(stream);
    if (c == EOF) {
      line[0] = '\0';
      return -1;
    }
    if (c == '\r') {  // CR LF is one line end, as text mode reads it
      const int next = std::getc(stream);
      if (next == '\n')
        c = '\n';
      else if (next != EOF)
        std::ungetc(next, stream);
    }
    line[n++] = char(c);
    if (c == '\n') break;
  }
  while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) --n;
  line[n] = '\0';
  return n;
}

int ClassifySettingsLine(const char* line, char* currentSection, const char* wantedHeader) {
  const char* p = SkipBlanks(line);
  if (*p == '\0') return kBlankLine;
  if (*p == ';' || *p == '%' || *p == '#') return kCommentLine;
  const int wantedOpen = EqualIgnoringCase(currentSection, wantedHeader);
  if (*p != '[') return wantedOpen ? kWantedKeyLine : kOtherKeyLine;
  CopyText(currentSection, kSettingsLineSize, p);
  if (EqualIgnoringCase(p, wantedHeader)) return kWantedHeader;
  return wantedOpen ? kClosingHeader : kOtherHeader;
}

void SplitKeyValue(const char* line, char* key, char* value) {
  const char* start = SkipBlanks(line);
  const char* equals = std::strchr(start, '=');
  if (equals == nullptr) {
    CopyText(key, kSettingsLineSize, start);
    value[0] = '\0';
    return;
  }
  size_t keyLength = size_t(equals - start);
  while (keyLength > 0 && IsBlank(start[keyLength - 1])) --keyLength;
  CopyCut(key, kSettingsLineSize, start, keyLength);

  const char* v = SkipBlanks(equals + 1);
  while (*v == '=') v = SkipBlanks(v + 1);
  CopyText(value, kSettingsLineSize, v);
  char* comment = std::strrchr(value, ';');
  if (comment != nullptr && std::strchr(comment, '"') == nullptr) *comment = '\0';
  TrimTrailingBlanks(value);
}

int MakeTempPath(char* path) {
  char result[kSettingsPathSize];
  CopyText(result, sizeof result, path);
  for (char* p = result; *p != '\0'; ++p)
    if (*p == '/') *p = '\\';
  const char* folderEnd = std::strrchr(result, '\\');
  char* dot = std::strrchr(result, '.');
  size_t extensionAt;
  if (dot != nullptr && (folderEnd == nullptr || dot > folderEnd)) {
    extensionAt = size_t(dot - result) + 1;
  } else {
    extensionAt = std::strlen(result) + 1;
    if (extensionAt >= sizeof result) return 0;
    result[extensionAt - 1] = '.';
  }
  if (extensionAt + 3 >= sizeof result) return 0;
  std::memcpy(result + extensionAt, "tmp", 4);
  std::memcpy(path, result, extensionAt + 4);
  return 1;
}

int PrintWithSystemError(FILE* stream, const char* format, ...) {
  const int error = errno;  // before anything here can change it
  char text[kMessageSize];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n < 0) return -1;
  const int written = std::fprintf(stream, "%s: %s\n", text, std::strerror(error));
  return written < 0 ? -1 : written;
}

Status ReadSettingsEntries(const SettingsEntry* table, int* assigned, const char* wantedSection) {
  *assigned = 0;
  Status failure;
  FILE* stream = OpenOrReport(settingsPath, "rb", &failure);
  if (stream == nullptr) return failure;
  char line[kSettingsLineSize], key[kSettingsLineSize], value[kSettingsLineSize];
  char section[kSettingsLineSize] = "[]", wanted[kSettingsLineSize];
  FormatWantedHeader(wanted, wantedSection);
  const SettingsEntry* unknownKind = nullptr;
  while (unknownKind == nullptr && ReadSettingsLine(line, stream) != -1) {
    if (ClassifySettingsLine(line, section, wanted) != kWantedKeyLine) continue;
    SplitKeyValue(line, key, value);
    for (const SettingsEntry* row = table; row->key != nullptr; ++row) {
      if (!EqualIgnoringCase(key, row->key)) continue;
      if (!ConvertValue(*row, value)) {
        unknownKind = row;
        break;
      }
      ++*assigned;
    }
  }
  const int failed = std::ferror(stream), error = errno;
  std::fclose(stream);
  if (failed) return Status::Failure(Outcome::kFailed, "Can't read %s: %s", settingsPath, std::strerror(error));
  if (unknownKind != nullptr)
    return Status::Failure(Outcome::kBadInput, "\"%s\" has unknown kind %u", unknownKind->key,
                           unsigned(unknownKind->kind));
  return Status::Done();
}

Status WriteSettingsEntry(const char* key, const char* value) {
  Status failure;
  FILE* in = OpenOrReport(settingsPath, "rb", &failure);
  if (in == nullptr) return failure;
  char tempPath[kSettingsPathSize];
  CopyText(tempPath, sizeof tempPath, settingsPath);
  if (!MakeTempPath(tempPath)) {
    std::fclose(in);
    return Status::Failure(Outcome::kFailed, "No room for the temporary path of %s", settingsPath);
  }
  FILE* out = OpenOrReport(tempPath, "wb", &failure);
  if (out == nullptr) {
    std::fclose(in);
    return failure;
  }

  char line[kSettingsLineSize], fileKey[kSettingsLineSize], fileValue[kSettingsLineSize];
  char section[kSettingsLineSize] = "[]", wanted[kSettingsLineSize], newValue[kWrittenValueMax + 1];
  FormatWantedHeader(wanted);
  CopyText(newValue, sizeof newValue, value);
  int written = 0;
  while (ReadSettingsLine(line, in) != -1) {
    switch (ClassifySettingsLine(line, section, wanted)) {
      case kWantedKeyLine:
        SplitKeyValue(line, fileKey, fileValue);
        if (!written && EqualIgnoringCase(fileKey, key)) {
          CopyText(fileValue, sizeof fileValue, newValue);
          written = 1;
        }
        PutKeyLine(out, fileKey, fileValue);
        break;
      case kClosingHeader:
        if (!written) PutKeyLine(out, key, newValue);
        written = 1;
        PutLine(out, line);
        break;
      default:
        PutLine(out, line);
        break;
    }
  }
  if (!written) {
    if (!EqualIgnoringCase(section, wanted)) PutLine(out, wanted);
    PutKeyLine(out, key, newValue);
  }

  if (std::ferror(in))
    failure = Status::Failure(Outcome::kFailed, "Can't read %s: %s", settingsPath, std::strerror(errno));
  else if (std::ferror(out))
    failure = Status::Failure(Outcome::kFailed, "Can't write %s: %s", tempPath, std::strerror(errno));
  std::fclose(in);
  if (std::fclose(out) != 0 && failure.ok())  // the last buffered lines may fail here
    failure = Status::Failure(Outcome::kFailed, "Can't write %s: %s", tempPath, std::strerror(errno));
  if (!failure.ok()) return failure;
  // One rename over the old file: a crash at any moment leaves the old
  // settings or the new ones, never neither.
  if (!ReplaceFileWith(tempPath, settingsPath))
    return Status::Failure(Outcome::kFailed, "Can't replace %s with %s: %s", settingsPath, tempPath,
                           std::strerror(errno));
  return Status::Done();
}

Status LoadNetworkSettings(NetworkSettings* settings) {
  for (const auto& [key, address] :
       {std::pair{kLocalAddressKey, settings->thisPc}, {kServerAddressKey, settings->server}}) {
    const Status loaded = LoadAddress(key, address);
    if (!loaded.ok()) return loaded;
  }
  return Status::Done();
}

Status CreateDefaultSettings(const NetworkSettings& settings) {
  FILE* out = std::fopen(settingsPath, "wb");
  if (out != nullptr) {
    std::fprintf(out, "Kestrovaline Version %s ini file\r\n\r\n", kVersionText);
    std::fprintf(out, "[%s]\r\n", kNetworkSection);
    std::fclose(out);
  }
  Status first;
  for (const auto& [key, address] :
       {std::pair{kLocalAddressKey, settings.thisPc}, {kServerAddressKey, settings.server}}) {
    const Status written = WriteSettingsEntry(key, address);
    if (written.outcome() == Outcome::kCannotOpen) return written;
    if (first.ok()) first = written;
  }
  return first;
}

SettingsAtStart LoadSettingsAtStart(RunMode mode) {
  SettingsAtStart start{SettingsAtStart::kLoaded, nullptr, NetworkSettings{}};
  CopyText(settingsPath, sizeof settingsPath, ProfileOf(mode).settingsPath);
  FILE* probe = std::fopen(settingsPath, "rb");
  const bool existed = probe != nullptr;
  if (existed) {
    std::fclose(probe);
  } else if (CreateDefaultSettings(start.network).outcome() == Outcome::kCannotOpen) {
    start.outcome = SettingsAtStart::kCannotOpen;
    return start;
  }
  // A default that failed to be written for another reason is missing below.
  const Status loaded = LoadNetworkSettings(&start.network);
  if (loaded.outcome() == Outcome::kCannotOpen) {
    start.outcome = SettingsAtStart::kCannotOpen;
  } else if (!loaded.ok()) {
    start.outcome = SettingsAtStart::kInvalid;
    start.box = !existed ? kInvalidCreated : mode == RunMode::kPlugin ? kInvalidPlugin : kInvalidStandalone;
  }
  return start;
}
