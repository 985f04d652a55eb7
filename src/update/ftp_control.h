// The control channel of an FTP session: commands out, replies in, every reply bounded
// (a server that never ends its reply cannot make us collect it for ever). Owned and
// used by one connection thread.
#pragma once

#include <cstddef>
#include <string>

#include "update/socket_connection.h"

namespace update {

// The longest reply, all its lines together, that we read.
inline constexpr size_t kMaxFtpReplyBytes = 65536;

struct FtpReply {
    SocketResult result = SocketResult::Ok;
    bool tooLong = false;  // longer than kMaxFtpReplyBytes; result is SystemError
    int code = 0;
    std::string text;  // every line of the reply, each ended by "\n"
};

class FtpControl {
public:
    FtpControl(SocketConnection& socket, int sendTimeoutMs, int receiveTimeoutMs)
        : m_socket(socket), m_sendTimeoutMs(sendTimeoutMs), m_receiveTimeoutMs(receiveTimeoutMs) {}

    // One reply: a single "ddd text" line, or the lines from "ddd-" to the line that
    // begins with the same code and a blank. Lines before the first coded one are kept
    // in the text.
    FtpReply readReply();
    SocketResult send(const std::string& command);
    SocketConnection& socket() { return m_socket; }

private:
    // The next line without its line break; `budget` is what the reply may still take.
    SocketResult readLine(std::string& line, size_t& budget, bool& tooLong);

    SocketConnection& m_socket;
    const int m_sendTimeoutMs;
    const int m_receiveTimeoutMs;
    std::string m_buffer;  // received, not yet taken as lines
};

}  // namespace update
