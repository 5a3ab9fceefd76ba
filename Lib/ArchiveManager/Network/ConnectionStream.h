// A connection's byte stream: the reader and writer faces over its socket,
// with the writer's lock. The socket work is SocketStream's; a pooled
// connection adopts a new socket for every client.
#pragma once

#include "Lib/ArchiveManager/Protocol/SocketStream.h"

namespace logrum::network {

class ConnectionStream : public protocol::SocketStream {
 public:
  using protocol::SocketStream::SocketStream;
};

}  // namespace logrum::network
