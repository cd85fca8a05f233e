// The fastest possible MLLP receiver: answers every frame at once with a fixed AA and keeps
// nothing. Measuring mllp_load against it shows how many messages a second the client and
// loopback carry, the ceiling of any server measured with them.
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read_until.hpp>
#include <asio/write.hpp>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>

namespace {

constexpr std::string_view kFrameEnd = "\x1c\r";
constexpr std::string_view kAck =
    "\x0bMSH|^~\\&|MWL|IMAGING|RIS|RADIOLOGY|20250101000000+0000||ACK^O01^ACK|1|P|2.3.1\r"
    "MSA|AA|1\r\x1c\r";

void answer(asio::ip::tcp::socket socket) {
  asio::error_code error;
  socket.set_option(asio::ip::tcp::no_delay(true), error);
  std::string input;
  while (!error) {
    const std::size_t size =
        asio::read_until(socket, asio::dynamic_buffer(input), kFrameEnd, error);
    if (error) break;
    input.erase(0, size);
    asio::write(socket, asio::buffer(kAck), error);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: mllp_instant_ack PORT   (listens on 127.0.0.1 until killed)\n", stderr);
    return 2;
  }
  asio::io_context io;
  const asio::ip::tcp::endpoint endpoint(
      asio::ip::make_address_v4("127.0.0.1"),
      static_cast<unsigned short>(std::strtoul(argv[1], nullptr, 10)));
  asio::ip::tcp::acceptor acceptor(io);
  asio::error_code error;
  acceptor.open(endpoint.protocol(), error);
  if (!error) acceptor.set_option(asio::socket_base::reuse_address(true), error);
  if (!error) acceptor.bind(endpoint, error);
  if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
  while (!error) {
    asio::ip::tcp::socket socket(io);
    acceptor.accept(socket, error);
    if (!error) std::thread(answer, std::move(socket)).detach();
  }
  std::fputs(("mllp_instant_ack: " + error.message() + "\n").c_str(), stderr);
  return 1;
}
