#include "linux/input/BrokerLink.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "linux/input/OutputRequest.h"

namespace platform::evdev {

namespace {

constexpr size_t kMaxDescriptors = 4;       // received
constexpr size_t kMaxSentDescriptors = 16;  // sent: more than a receiver takes, for its tests

int64_t NowMillis() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

// Waits until socket is readable or timeoutMillis have passed; false on the timeout.
bool WaitReadable(int socket, int timeoutMillis) {
  const int64_t end = NowMillis() + timeoutMillis;
  for (;;) {
    pollfd p{socket, POLLIN, 0};
    const int64_t left = end - NowMillis();
    const int n = poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
    if (n > 0) return true;
    if (n == 0 || errno != EINTR) return n < 0;  // an error shows in the read that follows
  }
}

}  // namespace

OutputWay FindOutputWay(const std::string &brokerSocket, const std::string &uinputPath) {
  struct stat st {};
  std::string why;
  if (stat(brokerSocket.c_str(), &st) != 0)
    why = "not installed: no " + brokerSocket;
  else if (!S_ISSOCK(st.st_mode))
    why = "not installed: " + brokerSocket + " is no socket";
  else if (faccessat(AT_FDCWD, brokerSocket.c_str(), W_OK, AT_EACCESS) != 0)
    why = brokerSocket + ": " + strerror(errno);
  else
    return {OutputWay::Broker, 0, "made by corvassel-uinputd (" + brokerSocket + ")"};
  const std::string noBroker = "corvassel-uinputd cannot make them (" + why + ")";
  if (faccessat(AT_FDCWD, uinputPath.c_str(), R_OK | W_OK, AT_EACCESS) == 0)
    return {OutputWay::Uinput, 0, "made through " + uinputPath + " itself: " + noBroker};
  const int error = errno;
  return {OutputWay::None, error,
          noBroker + ", and " + uinputPath + " may not be used (" + strerror(error) + ")"};
}

UniqueFd ConnectBroker(const std::string &socketPath, int &error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof address.sun_path) {
    error = ENAMETOOLONG;
    return {};
  }
  memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  UniqueFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) {
    error = errno;
    return {};
  }
  if (connect(fd.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
    error = errno;
    return {};
  }
  error = 0;
  return fd;
}

int SendDatagram(int socket, const std::vector<uint8_t> &bytes, const std::vector<int> &fds) {
  if (fds.size() > kMaxSentDescriptors) return ETOOMANYREFS;
  iovec iov{const_cast<uint8_t *>(bytes.data()), bytes.size()};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxSentDescriptors)] = {};
  if (!fds.empty()) {
    msg.msg_control = control;
    msg.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
    cmsghdr *c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
    memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
  }
  ssize_t sent;
  do {
    sent = sendmsg(socket, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) return errno;
  return static_cast<size_t>(sent) == bytes.size() ? 0 : EMSGSIZE;
}

int ReceiveDatagram(int socket, std::vector<uint8_t> &bytes, std::vector<UniqueFd> &fds,
                    int timeoutMillis) {
  if (!WaitReadable(socket, timeoutMillis)) return ETIMEDOUT;
  bytes.resize(kMaxOutputMessage);
  iovec iov{bytes.data(), bytes.size()};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxDescriptors)];
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t got;
  do {
    got = recvmsg(socket, &msg, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
  } while (got < 0 && errno == EINTR);
  const int readError = got < 0 ? errno : 0;
  if (got >= 0) {
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
      const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (size_t i = 0; i < count; ++i) {
        int fd;
        memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
        fds.emplace_back(fd);
      }
    }
  }
  bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
  if (readError) return readError == EAGAIN ? ETIMEDOUT : readError;
  if (msg.msg_flags & MSG_CTRUNC) return ETOOMANYREFS;
  if (msg.msg_flags & MSG_TRUNC) return EMSGSIZE;
  if (got == 0) return ECONNRESET;
  return 0;
}

BrokerOutput RequestOutput(const std::string &socketPath, const OutputSpec &wanted, int sourceFd,
                           int timeoutMillis) {
  int error = 0;
  UniqueFd connection = ConnectBroker(socketPath, error);
  if (!connection) {
    BrokerOutput out;
    out.error = error;
    out.why = std::string("cannot reach the broker: ") + strerror(error);
    return out;
  }
  return RequestOutput(std::move(connection), wanted, sourceFd, timeoutMillis);
}

BrokerOutput RequestOutput(UniqueFd connection, const OutputSpec &wanted, int sourceFd,
                           int timeoutMillis) {
  BrokerOutput out;
  auto fail = [&](int error, const std::string &why) {
    out.error = error;
    out.why = why;
    return std::move(out);
  };
  OutputSpec fitted = wanted;  // a longer name is cut as uinput cuts it, and the broker expects
  fitted.identity.name = FitOutputName(wanted.identity.name);
  const std::vector<uint8_t> request = EncodeOutputRequest(fitted);
  if (request.empty()) return fail(EINVAL, "the device cannot be asked for");
  int error = 0;
  if ((error = SendDatagram(connection.get(), request, {sourceFd})))
    return fail(error, std::string("cannot send the request: ") + strerror(error));
  std::vector<uint8_t> bytes;
  std::vector<UniqueFd> fds;
  if ((error = ReceiveDatagram(connection.get(), bytes, fds, timeoutMillis)))
    return fail(error, std::string("no answer from the broker: ") + strerror(error));
  const std::optional<OutputAnswer> answer = ParseOutputAnswer(bytes.data(), bytes.size());
  if (!answer) return fail(EPROTO, "the broker's answer is malformed");
  if (answer->status == OutputAnswer::Refused) return fail(EPERM, answer->text);
  if (answer->status != OutputAnswer::Made) return fail(EIO, answer->text);
  if (fds.size() != 1) return fail(EPROTO, "the broker's answer carries no device");
  out.device = std::move(fds.front());
  out.connection = std::move(connection);
  out.devnode = answer->text;
  return out;
}

}  // namespace platform::evdev
