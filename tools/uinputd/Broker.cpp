#include "Broker.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "linux/input/BrokerLink.h"
#include "linux/input/OutputRequest.h"

namespace uinputd {

using namespace platform::evdev;

namespace {

void Answer(int connection, const OutputAnswer &answer, const std::vector<int> &fds = {}) {
  // A client that has gone, or does not read, loses its answer; nothing waits for it.
  SendDatagram(connection, EncodeOutputAnswer(answer), fds);
}

std::string ReceiveProblem(int error) {
  switch (error) {
    case ETIMEDOUT:
      return "sent nothing in time";
    case ECONNRESET:
      return "hung up without a request";
    case EMSGSIZE:
      return "sent more than any request";
    case ETOOMANYREFS:
      return "attached too many descriptors";
    default:
      return std::string("cannot be read: ") + strerror(error);
  }
}

// Until the client hangs up: whatever else it sends ends the device too.
void WaitForHangUp(int connection) {
  pollfd p{connection, POLLIN, 0};
  while (poll(&p, 1, -1) < 0 && errno == EINTR) {
  }
}

}  // namespace

bool PeerOf(int connection, Client &client) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
      size != sizeof credentials)
    return false;
  client.pid = credentials.pid;
  client.uid = credentials.uid;
  return true;
}

void Serve(int connection, const Client &client, Host &host, int requestMillis,
           const std::function<void(const std::string &)> &log) {
  auto refuse = [&](OutputAnswer::Status status, const std::string &why) {
    log("corvassel-uinputd: " +
        std::string(status == OutputAnswer::Refused ? "refused" : "failed") + " pid " +
        std::to_string(client.pid) + " uid " + std::to_string(client.uid) + ": " + Printable(why));
    Answer(connection, {status, why});
  };
  std::vector<uint8_t> bytes;
  std::vector<UniqueFd> fds;
  if (int error = ReceiveDatagram(connection, bytes, fds, requestMillis))
    return refuse(OutputAnswer::Refused, ReceiveProblem(error));
  std::string why;
  const std::optional<OutputSpec> wanted = ParseOutputRequest(bytes.data(), bytes.size(), why);
  if (!wanted) return refuse(OutputAnswer::Refused, "malformed request: " + why);
  if (fds.size() != 1)
    return refuse(OutputAnswer::Refused,
                  "the request must carry one descriptor, of the mouse; it carries " +
                      std::to_string(fds.size()));
  DeviceIdentity source;
  Capabilities sourceCapabilities;
  if (!host.describe(fds.front().get(), source, sourceCapabilities, why))
    return refuse(OutputAnswer::Refused, why);
  fds.clear();  // described: the client's descriptor is not kept
  why = OutputRefusal(*wanted, source, sourceCapabilities);
  if (!why.empty()) return refuse(OutputAnswer::Refused, why);
  // Asked last: only a request that could be served costs logind a question.
  why = host.seatRefusal(client.uid);
  if (!why.empty()) return refuse(OutputAnswer::Refused, why);
  UniqueFd keep, handOver;
  std::string devnode;
  if (!host.create(*wanted, keep, handOver, devnode, why)) return refuse(OutputAnswer::Failed, why);
  Answer(connection, {OutputAnswer::Made, devnode}, {handOver.get()});
  handOver.reset();
  WaitForHangUp(connection);
}

}  // namespace uinputd
