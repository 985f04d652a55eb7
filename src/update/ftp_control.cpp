#include "update/ftp_control.h"

#include <cctype>

namespace update {
namespace {

// The reply code at the start of a line, or -1.
int lineCode(const std::string& line) {
    if (line.size() < 3) return -1;
    for (int i = 0; i < 3; ++i)
        if (!std::isdigit(static_cast<unsigned char>(line[static_cast<size_t>(i)]))) return -1;
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

}  // namespace

FtpReply FtpControl::readReply() {
    FtpReply reply;
    size_t budget = kMaxFtpReplyBytes;
    bool multiLine = false;
    for (;;) {
        std::string line;
        reply.result = readLine(line, budget, reply.tooLong);
        if (reply.result != SocketResult::Ok) return reply;
        reply.text += line + "\n";
        const int code = lineCode(line);
        if (!multiLine) {
            if (code < 0) continue;
            reply.code = code;
            if (line.size() > 3 && line[3] == '-') {
                multiLine = true;
                continue;
            }
            return reply;
        }
        if (code == reply.code && (line.size() == 3 || line[3] == ' ')) return reply;
    }
}

SocketResult FtpControl::send(const std::string& command) {
    return m_socket.sendAll(command + "\r\n", m_sendTimeoutMs);
}

SocketResult FtpControl::readLine(std::string& line, size_t& budget, bool& tooLong) {
    for (;;) {
        const size_t end = m_buffer.find('\n');
        if (end != std::string::npos && end < budget) {
            line = m_buffer.substr(0, end);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            m_buffer.erase(0, end + 1);
            budget -= end + 1;
            return SocketResult::Ok;
        }
        if (end != std::string::npos || m_buffer.size() >= budget) {
            tooLong = true;
            return SocketResult::SystemError;
        }
        char chunk[1024];
        size_t got = 0;
        const SocketResult r = m_socket.receive(chunk, sizeof chunk, m_receiveTimeoutMs, got);
        if (r != SocketResult::Ok) return r;
        m_buffer.append(chunk, got);
    }
}

}  // namespace update
