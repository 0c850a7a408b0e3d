// Command-line parsing of the simulated server.
#include "sim_options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim_command.h"

namespace {

const char kUsage[] =
    "server_sim: a stand-in for the simulator's server plug-in, for testing the client and add-ons.\n"
    "\n"
    "Usage: server_sim --address A [options]\n"
    "\n"
    "It sends beacons (type 20) to 239.192.0.10:54942 from A, listens on A port 65000 for one\n"
    "client at a time (a new connection replaces the old one), sends that client data blocks\n"
    "(types 6-10) from its own 128 KB image and update frames (type 103) for changed image bytes\n"
    "to the client's port 65100, and applies the write batches (type 18) it receives to its\n"
    "image, so written values come back in later data blocks. It sends to no address but the\n"
    "multicast group and the client's.\n"
    "\n"
    "Options:\n"
    "  --address A        this server's IPv4 address (required); everything is sent from it\n"
    "  --client C         send update frames to C (default: the connected client's address)\n"
    "  --beacon-rate HZ   beacons per second (default 10; 0 = none)\n"
    "  --block-rate HZ    rounds of data blocks per second, each round one block of every\n"
    "                     type in --blocks (default 20; 0 = none)\n"
    "  --update-rate HZ   ticks per second (default 50; 0 = none): counters move, then one\n"
    "                     update frame carries every image byte changed by set or a counter\n"
    "  --blocks LIST      data block types to send, e.g. 6,7,10 (default 6,7,8,9,10)\n"
    "  --tag TAG          footer tag of the data blocks: 0x1A2B, 0x1B2C, 0xFADE or cycle (default)\n"
    "  --region N         Region byte of update records at offsets 0x10000 and up (default 1)\n"
    "  --pattern          start with a fill in which byte o is (o + 3*(o>>8) + 0x47*(o>>14) + 0x11)\n"
    "                     mod 256 instead of zeros\n"
    "  --set OFFSET=VALUE[:SIZE]   store a value at start (repeatable)\n"
    "  --counter OFFSET:SIZE:STEP  a value that moves every tick (repeatable)\n"
    "  --wave OFFSET:SIZE:LOW:HIGH:SECONDS  a value that follows a sine from LOW to HIGH\n"
    "                     once every SECONDS, moving every tick (repeatable)\n"
    "  --pause STREAM     start with beacons, blocks, updates or all paused (repeatable)\n"
    "  --no-listen        start without listening on port 65000\n"
    "  --drop             close each connection at once, before any frame\n"
    "  --no-apply         journal write batches without applying them\n"
    "  --control FILE     follow FILE for command lines appended to it; '-' reads standard input\n"
    "  --status FILE      keep FILE up to date with counts and state (key=value lines)\n"
    "  --journal FILE     log every write batch received, byte for byte, with the time it\n"
    "                     was received (see below)\n"
    "  --stamps FILE      log the time each update frame was sent, with the value of the first\n"
    "                     counter in it: 'update UNIX_NS VALUE' lines\n"
    "  --update-port P    send update frames to port P of the client (default 65100)\n"
    "  --duration SEC     end after SEC seconds (default: run until 'quit' or a signal)\n"
    "  --quiet            no event lines on standard output\n"
    "  --help             this text\n"
    "\n"
    "Numbers are decimal or 0x-hex. With --update-rate 0, counters move once per block round.\n"
    "\n"
    "Journal lines: 'batch SEQ LENGTH HEX' (the whole frame), 'time SEQ UNIX_NS' (when it was\n"
    "received: the kernel's stamp where the platform gives one), then 'write SEQ OFFSET SIZE HEX'\n"
    "for each record; a frame that is not a well-formed write batch gives 'bad SEQ REASON ...'.\n"
    "Status keys: running listening connected client paused (bits: 1 beacons, 2 blocks, 4 updates)\n"
    "beacons blocks updates update_records batches\n"
    "bad_received bad_sent splits coalesced connections commands errors uptime_ms.\n"
    "\n";

int Error(char* error, const char* format, const char* a, const char* b = "") {
  std::snprintf(error, kOptionErrorSize, format, a, b);
  return kOptionsError;
}

// A number from 0 to 100000 (rates per second, the duration in seconds).
int ParseAmount(const char* name, const char* text, double* out, char* error) {
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(v >= 0) || v > 100000)
    return Error(error, "%s: '%s' is not a number from 0 to 100000", name, text);
  *out = v;
  return kOptionsRun;
}

int ParseBlockList(const char* text, uint32_t* types, char* error) {
  *types = 0;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s", text);
  for (char* item = std::strtok(buf, ","); item != nullptr; item = std::strtok(nullptr, ",")) {
    uint64_t t = 0;
    if (!ParseUnsigned(item, 255, &t) || t < 6 || t > 10)
      return Error(error, "--blocks: '%s' is not a data block type (6 to 10) in '%s'", item, text);
    *types |= 1u << t;
  }
  if (*types == 0) return Error(error, "--blocks: no type in '%s'%s", text);
  return kOptionsRun;
}

bool IsDottedAddress(const char* text) {
  unsigned parts[4];
  char tail;
  if (std::sscanf(text, "%u.%u.%u.%u%c", &parts[0], &parts[1], &parts[2], &parts[3], &tail) != 4) return false;
  for (unsigned p : parts)
    if (p > 255) return false;
  return true;
}

}  // namespace

std::string HelpText() { return std::string(kUsage) + kCommandHelp; }

int ParseOptions(int argc, char** argv, SimOptions* o, char* error) {
  for (int i = 1; i < argc; ++i) {
    const char* name = argv[i];
    if (std::strcmp(name, "--help") == 0 || std::strcmp(name, "-h") == 0) return kOptionsHelp;
    if (std::strcmp(name, "--pattern") == 0) {
      o->pattern = true;
      continue;
    }
    if (std::strcmp(name, "--quiet") == 0) {
      o->quiet = true;
      continue;
    }
    static const struct { const char* option; const char* command; } kFlagCommands[] = {
        {"--no-listen", "unlisten"}, {"--drop", "drop"}, {"--no-apply", "noapply"}};
    bool flag = false;
    for (const auto& f : kFlagCommands)
      if (std::strcmp(name, f.option) == 0) {
        o->startCommands.push_back(f.command);
        flag = true;
      }
    if (flag) continue;
    if (std::strncmp(name, "--", 2) != 0) return Error(error, "unexpected argument '%s' (see --help)", name);
    if (i + 1 >= argc) return Error(error, "%s needs a value (see --help)", name);
    const char* value = argv[++i];
    char commandError[kCommandErrorSize];
    Command c;
    uint64_t n = 0;
    int ok = kOptionsRun;
    if (std::strcmp(name, "--address") == 0) {
      if (!IsDottedAddress(value)) return Error(error, "--address: '%s' is not a dotted IPv4 address", value);
      o->address = value;
    } else if (std::strcmp(name, "--client") == 0) {
      if (!IsDottedAddress(value)) return Error(error, "--client: '%s' is not a dotted IPv4 address", value);
      o->client = value;
    } else if (std::strcmp(name, "--beacon-rate") == 0) {
      ok = ParseAmount(name, value, &o->beaconHz, error);
    } else if (std::strcmp(name, "--block-rate") == 0) {
      ok = ParseAmount(name, value, &o->blockHz, error);
    } else if (std::strcmp(name, "--update-rate") == 0) {
      ok = ParseAmount(name, value, &o->updateHz, error);
    } else if (std::strcmp(name, "--duration") == 0) {
      ok = ParseAmount(name, value, &o->duration, error);
    } else if (std::strcmp(name, "--blocks") == 0) {
      ok = ParseBlockList(value, &o->blockTypes, error);
    } else if (std::strcmp(name, "--region") == 0) {
      if (!ParseUnsigned(value, 255, &n) || n == 0) return Error(error, "--region: '%s' is not 1 to 255", value);
      o->upperRegion = uint8_t(n);
    } else if (std::strcmp(name, "--tag") == 0 || std::strcmp(name, "--pause") == 0 ||
               std::strcmp(name, "--set") == 0 || std::strcmp(name, "--counter") == 0 ||
               std::strcmp(name, "--wave") == 0) {
      const std::string line = std::string(name + 2) + " " + value;
      if (ParseCommand(line.c_str(), &c, commandError) != 1) return Error(error, "%s: %s", name, commandError);
      o->startCommands.push_back(line);
    } else if (std::strcmp(name, "--control") == 0) {
      o->control = value;
    } else if (std::strcmp(name, "--status") == 0) {
      o->status = value;
    } else if (std::strcmp(name, "--journal") == 0) {
      o->journal = value;
    } else if (std::strcmp(name, "--stamps") == 0) {
      o->stamps = value;
    } else if (std::strcmp(name, "--update-port") == 0) {
      if (!ParseUnsigned(value, 65535, &n) || n == 0) return Error(error, "--update-port: '%s' is not 1 to 65535", value);
      o->updatePort = uint16_t(n);
    } else {
      return Error(error, "unknown option '%s' (see --help)", name);
    }
    if (ok != kOptionsRun) return ok;
  }
  if (o->address.empty()) return Error(error, "--address is required (see --help)", "");
  return kOptionsRun;
}
