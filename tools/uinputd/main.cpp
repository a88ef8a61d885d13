// corvassel-uinputd: makes output devices for users who may not use /dev/uinput, one per
// connection. systemd starts an instance for each connection to corvassel-uinputd.socket
// (Accept=yes) and hands it the connection as descriptor 3; the instance serves that one request
// and ends when its device does.
#include <systemd/sd-daemon.h>
#include <sys/socket.h>

#include <cstdio>
#include <string>

#include "Broker.h"
#include "SystemHost.h"
#include "linux/input/BrokerLink.h"

int main(int argc, char **) {
  const int count = sd_listen_fds(1);
  if (argc > 1 || count != 1 ||
      sd_is_socket_unix(SD_LISTEN_FDS_START, SOCK_SEQPACKET, 0, nullptr, 0) <= 0) {
    fprintf(stderr,
            "corvassel-uinputd: started by corvassel-uinputd.socket, with one connection as its "
            "descriptor 3\n");
    return 2;
  }
  uinputd::UniqueFd connection(SD_LISTEN_FDS_START);
  uinputd::Client client;
  if (!uinputd::PeerOf(connection.get(), client)) {
    fprintf(stderr, "corvassel-uinputd: refused a client whose credentials cannot be read\n");
    return 0;
  }
  auto host = uinputd::makeSystemHost();
  uinputd::Serve(connection.get(), client, *host, platform::evdev::kBrokerTimeoutMillis,
                 [](const std::string &line) { fprintf(stderr, "%s\n", line.c_str()); });
  return 0;
}
