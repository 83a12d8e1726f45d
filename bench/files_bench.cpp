// File-service benchmark against the real server: listing folders of 1,000
// and 10,000 entries page by page with FPEnumerateExt2, and FPGetFileDirParms
// requests per second on one connection.
//
// Two servers run side by side on the same share, one with the enumeration
// cursor (continuing a walk where the previous page stopped) and one with
// it turned off (every page walks from the folder's first entry), so the
// figures compare within one run on one machine.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/client/afp_login.h"
#include "tests/client/server_process.h"
#include "tests/client/temp_dir.h"

namespace {

using namespace afptest;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kVolumeID = 0xFFFF;
constexpr uint32_t kRootID = 2;
// What the Finder asks for: attributes, parent ID, dates, Finder
// information, node ID, fork lengths (64-bit), UTF-8 name; for folders the
// offspring count, owner, group and access rights instead of the forks.
constexpr uint16_t kFileBitmap = 0x692F;
constexpr uint16_t kDirBitmap = 0x3F2F;
constexpr int32_t kMaxReply = 65535;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

bool Fail(const std::string& why) {
  std::fprintf(stderr, "corvane_bench_files: %s\n", why.c_str());
  return false;
}

void MakeFolder(const fs::path& folder, int entries) {
  fs::create_directories(folder);
  char name[64];
  for (int i = 0; i < entries; ++i) {
    std::snprintf(name, sizeof(name), "document-%06d.txt", i);
    const int fd = ::open((folder / name).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (fd >= 0) ::close(fd);
  }
}

ByteVector EnumerateRequest(const std::string& path, int32_t start) {
  return RequestBuilder().Add8(kFPEnumerateExt2).Add8(0).Add16(kVolumeID).Add32(kRootID).Add16(kFileBitmap)
      .Add16(kDirBitmap).Add16(1000).Add32(static_cast<uint32_t>(start)).Add32(kMaxReply).Add8(2).AddPascal(path)
      .Bytes();
}

// A server with its own settings folder, sharing `share`, and a logged-in
// client that has the share open.
class Server {
 public:
  Server(const fs::path& share, const fs::path& settings, bool cursor) : fSettings(settings) {
    fs::create_directories(settings);
    ServerOptions options{settings};
    if (!cursor) options.env.emplace_back("CORVANE_ENUMERATION_CURSOR", "0");
    fProcess = std::make_unique<ServerProcess>(options);
    fShare = share;
  }

  bool Ready() {
    if (!fProcess->WaitUntilListening()) return Fail("server did not start: " + fProcess->StandardError());
    setenv("CORVANE_SETTINGS_DIR", fSettings.c_str(), 1);
    if (!AdminAddShare(fShare) || !AdminAddUser("bench", "pw", 0x01)) return Fail("administration requests failed");
    std::string why;
    if (!ConnectAndLogin(fClient, fProcess->port(), "bench", "pw", &why)) return Fail(why);
    const auto open = fClient.Command(OpenVolRequest(fShare.filename().string(), 0));
    if (!open || open->errorCode != 0) return Fail("FPOpenVol failed");
    return true;
  }

  // Lists a folder page by page; the entries seen (-1 on an error) and the
  // pages asked for.
  int64_t PageThrough(const std::string& path, int* pages) {
    int64_t entries = 0;
    *pages = 0;
    for (int32_t start = 1;;) {
      const auto reply = fClient.Command(EnumerateRequest(path, start));
      ++*pages;
      if (!reply) return -1;
      if (reply->errorCode == kFPObjectNotFound) return entries;
      if (reply->errorCode != 0 || reply->payload.size() < 6) return -1;
      const uint16_t count = LoadBe16(&reply->payload[4]);
      entries += count;
      start += count;
    }
  }

  DsiClient& client() { return fClient; }

  // Processor time the server has used so far (user and system), seconds.
  double CpuSeconds() const {
    std::ifstream stat("/proc/" + std::to_string(fProcess->pid()) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long user = 0, system = 0;
    // Fields 3 to 13, then utime (14) and stime (15).
    for (int i = 3; i <= 13; ++i) fields >> field;
    fields >> user >> system;
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }

 private:
  fs::path fSettings;
  fs::path fShare;
  std::unique_ptr<ServerProcess> fProcess;
  DsiClient fClient;
};

struct Timing {
  double best = 0;  // seconds for the whole folder, best of the rounds
  double cpu = 0;   // the server's processor seconds in that round
  int pages = 0;
  int64_t entries = 0;
};

// Lists the folder `times` times in a row.
bool TimeListing(Server& server, const std::string& path, int times, Timing* timing) {
  const double cpu = server.CpuSeconds();
  const auto begin = Clock::now();
  timing->entries = 0;
  timing->pages = 0;
  for (int i = 0; i < times; ++i) {
    int pages = 0;
    const int64_t entries = server.PageThrough(path, &pages);
    if (entries < 0) return Fail("listing " + path + " failed");
    timing->entries += entries;
    timing->pages += pages;
  }
  timing->best = Seconds(Clock::now() - begin);
  timing->cpu = server.CpuSeconds() - cpu;
  return true;
}

double LoadAverage() {
  double load = -1;
  std::ifstream("/proc/loadavg") >> load;
  return load;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 5;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--rounds" && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: %s [--rounds N]\n", argv[0]);
      return 2;
    }
  }

  TempDir work;
  const fs::path share = work.path() / "BenchShare";
  std::printf("corvane file benchmarks (load average before: %.2f, %u cores)\n", LoadAverage(),
              std::max(1u, static_cast<unsigned>(sysconf(_SC_NPROCESSORS_ONLN))));
  std::printf("creating folders of 1,000 and 10,000 empty files ...\n");
  MakeFolder(share / "Folder1000", 1000);
  MakeFolder(share / "Folder10000", 10000);

  Server withCursor(share, work.path() / "settings-cursor", true);
  Server withoutCursor(share, work.path() / "settings-no-cursor", false);
  if (!withCursor.Ready() || !withoutCursor.Ready()) return 1;

  // The first listing writes default Finder information to every entry;
  // it is not measured.
  int pages;
  for (Server* server : {&withCursor, &withoutCursor})
    for (const char* path : {"Folder1000", "Folder10000"})
      if (server->PageThrough(path, &pages) < 0) {
        Fail("warm-up listing failed");
        return 1;
      }

  // The small folder is listed ten times per round, so both rows cover
  // 10,000 entries and the server's processor time is well above the
  // clock tick it is counted in.
  struct Row {
    const char* label;
    const char* path;
    int times;
    Timing on, off;
  } rows[] = {{"1,000 x 10", "Folder1000", 10, {}, {}}, {"10,000 x 1", "Folder10000", 1, {}, {}}};
  const auto keepBest = [](Timing& best, const Timing& round, bool first) {
    if (first) {
      best = round;
      return;
    }
    best.best = std::min(best.best, round.best);
    best.cpu = std::min(best.cpu, round.cpu);
  };
  for (Row& row : rows) {
    // Alternate the two servers so that load changes hit both alike.
    for (int round = 0; round < rounds; ++round) {
      Timing on, off;
      if (!TimeListing(withCursor, row.path, row.times, &on) ||
          !TimeListing(withoutCursor, row.path, row.times, &off))
        return 1;
      keepBest(row.on, on, round == 0);
      keepBest(row.off, off, round == 0);
    }
  }

  const auto perEntry = [](double seconds, const Timing& t) { return seconds * 1e6 / static_cast<double>(t.entries); };
  std::printf("\nFPEnumerateExt2 page by page, request count 1000, replies of up to 4,096 bytes\n");
  std::printf("(file bitmap 0x%04X, folder bitmap 0x%04X; best of %d rounds; wall time at the client,\n", kFileBitmap,
              kDirBitmap, rounds);
  std::printf("processor time of the server)\n\n");
  std::printf("  %-16s %6s | %10s %10s %10s | %10s %10s %10s\n", "", "pages", "cursor on", "wall/entry",
              "cpu/entry", "cursor off", "wall/entry", "cpu/entry");
  for (const Row& row : rows) {
    std::printf("  %-16s %6d | %7.1f ms %7.2f us %7.2f us | %7.1f ms %7.2f us %7.2f us\n", row.label, row.on.pages,
                row.on.best * 1e3, perEntry(row.on.best, row.on), perEntry(row.on.cpu, row.on), row.off.best * 1e3,
                perEntry(row.off.best, row.off), perEntry(row.off.cpu, row.off));
  }
  std::printf("  %-23s | %10s %10.2f %10.2f | %10s %10.2f %10.2f\n", "10,000 / (10 x 1,000)", "",
              rows[1].on.best / rows[0].on.best, rows[1].on.cpu / rows[0].on.cpu, "",
              rows[1].off.best / rows[0].off.best, rows[1].off.cpu / rows[0].off.cpu);
  std::printf("  cursor off / on at 10,000 entries: wall %.2f, server processor %.2f\n",
              rows[1].off.best / rows[1].on.best, rows[1].off.cpu / rows[1].on.cpu);

  // FPGetFileDirParms on one file, the usual Finder fields.
  const ByteVector parms = RequestBuilder().Add8(kFPGetFileDirParms).Add8(0).Add16(kVolumeID).Add32(kRootID)
                               .Add16(kFileBitmap).Add16(kDirBitmap).Add8(2)
                               .AddPascal("Folder1000:document-000500.txt").Bytes();
  DsiClient& client = withCursor.client();
  int requests = 0;
  const auto begin = Clock::now();
  const auto until = begin + std::chrono::seconds(2);
  while (Clock::now() < until) {
    for (int i = 0; i < 100; ++i, ++requests) {
      const auto reply = client.Command(parms);
      if (!reply || reply->errorCode != 0) {
        Fail("FPGetFileDirParms failed");
        return 1;
      }
    }
  }
  const double took = Seconds(Clock::now() - begin);
  std::printf("\nFPGetFileDirParms on one file, one connection (file bitmap 0x%04X)\n", kFileBitmap);
  std::printf("  %d requests in %.2f s: %.0f requests/s, %.1f us each\n", requests, took, requests / took,
              took * 1e6 / requests);
  std::printf("\nload average after: %.2f\n", LoadAverage());
  return 0;
}
