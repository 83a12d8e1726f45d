// Fork transfer benchmark against the real server: one client reading and
// writing a large file with 4,096-byte requests, one request at a time and
// with 16 in flight, beside a minimal loopback echo server that answers the
// same requests with replies of the same sizes, measured in the same run.
// The echo is the transport's own limit on this machine, so the ratio
// server / echo says how much of it the server's own work costs.
//
// Also reports the server's peak memory (VmHWM) with 100 idle DSI sessions.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/client/afp_fork.h"
#include "tests/client/afp_login.h"
#include "tests/client/server_process.h"
#include "tests/client/temp_dir.h"

namespace {

using namespace afptest;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kBlock = 4096;
constexpr int kIdleSessions = 100;
constexpr uint64_t kSliceBlocks = 2048;  // 8 MiB

bool Fail(const std::string& why) {
  std::fprintf(stderr, "corvane_bench_forks: %s\n", why.c_str());
  return false;
}

// A loopback server that answers every DSI frame with a reply of the size
// corvane would send: 4 bytes for a DSI Write (an FPWrite position), 4096
// bytes for anything else (an FPRead of a full block). It reads and writes
// frames the plain way and does nothing else.
class EchoServer {
 public:
  ~EchoServer() {
    if (fListener >= 0) shutdown(fListener, SHUT_RDWR);  // ends a wait in accept
    if (fConnection >= 0) shutdown(fConnection, SHUT_RDWR);
    if (fThread.joinable()) fThread.join();
    if (fConnection >= 0) close(fConnection);
    if (fListener >= 0) close(fListener);
  }

  // Listens on an ephemeral loopback port and serves one connection.
  bool Start() {
    fListener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fListener < 0 || bind(fListener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fListener, 1) != 0 || getsockname(fListener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      return false;
    fPort = ntohs(address.sin_port);
    fThread = std::thread([this] { Serve(); });
    return true;
  }

  uint16_t port() const { return fPort; }

 private:
  void Serve() {
    const int fd = accept4(fListener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    fConnection = fd;
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::vector<uint8_t> reply(kDsiHeaderSize + kBlock, 0);
    std::vector<uint8_t> buffer(64 * 1024);
    size_t filled = 0;
    for (;;) {
      const ssize_t n = recv(fd, buffer.data() + filled, buffer.size() - filled, 0);
      if (n <= 0) return;
      filled += static_cast<size_t>(n);
      size_t used = 0;
      while (filled - used >= kDsiHeaderSize) {
        const uint8_t* frame = buffer.data() + used;
        const uint32_t payload = LoadBe32(frame + 8);
        if (filled - used < kDsiHeaderSize + payload) break;
        const uint32_t answer = frame[1] == kDsiWrite ? 4 : kBlock;
        reply[0] = kDsiReply;
        reply[1] = frame[1];
        reply[2] = frame[2];
        reply[3] = frame[3];
        StoreBe32(&reply[8], answer);
        size_t sent = 0;
        while (sent < kDsiHeaderSize + answer) {
          const ssize_t m = send(fd, reply.data() + sent, kDsiHeaderSize + answer - sent, MSG_NOSIGNAL);
          if (m <= 0) return;
          sent += static_cast<size_t>(m);
        }
        used += kDsiHeaderSize + payload;
      }
      std::memmove(buffer.data(), buffer.data() + used, filled - used);
      filled -= used;
    }
  }

  int fListener = -1;
  std::atomic<int> fConnection{-1};
  uint16_t fPort = 0;
  std::thread fThread;
};

// Sequential 4,096-byte reads or writes of `blocks` blocks from block
// `first` with up to `inFlight` requests outstanding; seconds, or a
// negative value on failure.
double TimeTransfers(DsiClient& client, uint16_t ref, bool write, int inFlight, uint64_t first, uint64_t blocks) {
  ByteVector writeRequest = WriteHeader(ref, 0, kBlock);
  const ByteVector data = Pattern(kBlock, 3);
  writeRequest.insert(writeRequest.end(), data.begin(), data.end());
  uint64_t sent = 0;
  const auto sendNext = [&] {
    const auto offset = static_cast<uint32_t>((first + sent) * kBlock);
    if (write) {
      StoreBe32(&writeRequest[4], offset);
      client.SendRequest(kDsiWrite, writeRequest, static_cast<int32_t>(kWriteHeaderSize));
    } else {
      client.SendRequest(kDsiCommand, ReadRequest(ref, static_cast<int32_t>(offset), kBlock));
    }
    ++sent;
  };
  const size_t expected = write ? 4 : kBlock;
  const auto begin = Clock::now();
  while (sent < blocks && sent < static_cast<uint64_t>(inFlight)) sendNext();
  for (uint64_t done = 0; done < blocks; ++done) {
    const auto reply = client.ReadReply(std::chrono::seconds(30));
    if (!reply || reply->errorCode != 0 || reply->payload.size() != expected) {
      Fail("request " + std::to_string(first + done) + ": " + (reply ? Describe(*reply) : std::string("no reply")));
      return -1;
    }
    if (sent < blocks) sendNext();
  }
  return std::chrono::duration<double>(Clock::now() - begin).count();
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

// A field of /proc/<pid>/status in KiB, or -1.
long StatusKiB(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  }
  return -1;
}

bool MakeFile(const fs::path& path, uint64_t size) {
  std::ofstream out(path, std::ios::binary);
  for (uint64_t written = 0; written < size; written += 1 << 20) {
    const ByteVector chunk = Pattern(static_cast<size_t>(std::min<uint64_t>(1 << 20, size - written)),
                                     static_cast<uint32_t>(written >> 20));
    out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
  }
  return static_cast<bool>(out);
}

struct Mode {
  const char* name;
  bool write;
  int inFlight;
  double server = 0;  // best seconds
  double echo = 0;
  std::vector<double> ratios = {};  // echo / server time of each pair of slices

  double MedianRatio() {
    std::sort(ratios.begin(), ratios.end());
    const size_t n = ratios.size();
    return n == 0 ? 0 : n % 2 ? ratios[n / 2] : (ratios[n / 2 - 1] + ratios[n / 2]) / 2;
  }
};

int Run(uint64_t size, int rounds) {
  TempDir folders;
  const fs::path settings = folders.path() / "settings";
  const fs::path share = folders.path() / "Bench";
  fs::create_directories(settings);
  fs::create_directories(share);
  fs::permissions(share, fs::perms::all);  // an ordinary account writes there
  if (!MakeFile(share / "read.bin", size)) return Fail("cannot create the file"), 1;
  std::ofstream(share / "write.bin").close();

  ServerProcess server(ServerOptions{settings});
  if (!server.WaitUntilListening()) return Fail("server did not start: " + server.StandardError()), 1;
  setenv("CORVANE_SETTINGS_DIR", settings.c_str(), 1);
  if (!AdminAddShare(share) || !AdminAddUser("bench", "pw", 0x01)) return Fail("administration failed"), 1;
  DsiClient client;
  std::string why;
  if (!ConnectAndLogin(client, server.port(), "bench", "pw", &why)) return Fail(why), 1;
  const auto volume = OpenVolume(client, "Bench");
  if (!volume) return Fail("FPOpenVol failed"), 1;
  const OpenedFork reading = OpenFork(client, kDataFork, *volume, 2, "read.bin", kAccessRead);
  const OpenedFork writing = OpenFork(client, kDataFork, *volume, 2, "write.bin", kAccessReadWrite);
  if (reading.result != 0 || writing.result != 0)
    return Fail("FPOpenFork failed: " + std::to_string(reading.result) + " " + std::to_string(writing.result)), 1;

  EchoServer echoServer;
  DsiClient echo;
  if (!echoServer.Start() || !echo.Connect(echoServer.port())) return Fail("echo server failed"), 1;

  const std::string loadBefore = LoadAverage();
  Mode modes[] = {
      {"read,   1 in flight", false, 1},
      {"read,  16 in flight", false, 16},
      {"write,  1 in flight", true, 1},
      {"write, 16 in flight", true, 16},
  };
  // The server and the echo take turns slice by slice, so a noisy moment
  // of the machine falls on both alike.
  const uint64_t blocks = size / kBlock;
  const uint64_t slice = std::min<uint64_t>(blocks, kSliceBlocks);
  for (int round = 0; round < rounds; ++round) {
    for (Mode& mode : modes) {
      double onServer = 0, onEcho = 0;
      for (uint64_t first = 0; first < blocks; first += slice) {
        const uint64_t count = std::min(slice, blocks - first);
        const double server = TimeTransfers(client, mode.write ? writing.ref : reading.ref, mode.write,
                                            mode.inFlight, first, count);
        const double echoed = TimeTransfers(echo, 1, mode.write, mode.inFlight, first, count);
        if (server < 0 || echoed < 0) return 1;
        onServer += server;
        onEcho += echoed;
        mode.ratios.push_back(echoed / server);
      }
      mode.server = round == 0 ? onServer : std::min(mode.server, onServer);
      mode.echo = round == 0 ? onEcho : std::min(mode.echo, onEcho);
    }
  }
  const std::string loadAfter = LoadAverage();

  // What was timed also moved the right bytes.
  const ByteVector chunk = Pattern(1 << 20, static_cast<uint32_t>((size >> 20) - 1));
  const Transfer lastRead =
      ReadFork(client, reading.ref, static_cast<int64_t>(size - kBlock), kBlock);
  const bool readOk = lastRead.result == 0 && lastRead.data == ByteVector(chunk.end() - kBlock, chunk.end());
  const bool writeOk = fs::file_size(share / "write.bin") == size;
  if (!readOk || !writeOk) return Fail("the transferred bytes are wrong"), 1;

  // Peak memory of a fresh server holding idle sessions.
  ServerProcess idle;
  if (!idle.WaitUntilListening()) return Fail("second server did not start"), 1;
  const long idleBase = StatusKiB(idle.pid(), "VmHWM");
  std::vector<std::unique_ptr<DsiClient>> sessions;
  for (int i = 0; i < kIdleSessions; ++i) {
    auto session = std::make_unique<DsiClient>();
    const auto opened = session->Connect(idle.port()) ? session->OpenSession() : std::nullopt;
    if (!opened || opened->errorCode != 0) return Fail("DSI session " + std::to_string(i) + " failed"), 1;
    sessions.push_back(std::move(session));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const long idlePeak = StatusKiB(idle.pid(), "VmHWM");
  const long idleRss = StatusKiB(idle.pid(), "VmRSS");
  const long threads = StatusKiB(idle.pid(), "Threads");

  const double mb = static_cast<double>(size) / 1e6;
  std::printf("corvane_bench_forks: %llu MiB file, %u-byte requests, best of %d round%s\n",
              static_cast<unsigned long long>(size >> 20), kBlock, rounds, rounds == 1 ? "" : "s");
  std::printf("  %-20s %12s %12s %7s %7s\n", "mode", "server MB/s", "echo MB/s", "ratio", "median");
  for (Mode& mode : modes) {
    std::printf("  %-20s %12.1f %12.1f %7.2f %7.2f\n", mode.name, mb / mode.server, mb / mode.echo,
                mode.echo / mode.server, mode.MedianRatio());
  }
  const double readRatio = modes[0].MedianRatio();
  std::printf("  target: 4 KiB reads, 1 in flight, at >= 0.75 of the echo (median ratio): %s (%.2f)\n",
              readRatio >= 0.75 ? "met" : "NOT met", readRatio);
  std::printf("  server memory: VmHWM %ld KiB at start, %ld KiB with %d idle DSI sessions "
              "(%.1f KiB each; VmRSS %ld KiB, %ld threads)\n",
              idleBase, idlePeak, kIdleSessions, static_cast<double>(idlePeak - idleBase) / kIdleSessions, idleRss,
              threads);
  std::printf("  load average before %s, after %s\n", loadBefore.c_str(), loadAfter.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t sizeMiB = 256;
  int rounds = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--size" && i + 1 < argc) {
      sizeMiB = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--rounds" && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: corvane_bench_forks [--size MiB (256)] [--rounds N (3)]\n");
      return 2;
    }
  }
  if (sizeMiB == 0 || sizeMiB > 2047 || rounds < 1) {
    std::fprintf(stderr, "corvane_bench_forks: the size must be 1 to 2047 MiB, the rounds at least 1\n");
    return 2;
  }
  return Run(sizeMiB << 20, rounds);
}
