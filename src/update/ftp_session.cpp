// The FTP side of a download connection: log in, learn the size, open a data channel
// (passive, falling back to active) and fetch the connection's segment.
#include <algorithm>
#include <cctype>
#include <cstdio>

#include "update/download_task.h"

namespace update {

std::string formatText(const char* pattern, ...);

namespace {

struct FtpReply {
    SocketResult result = SocketResult::Ok;
    int code = 0;
    std::string text;
};

class FtpControl {
public:
    FtpControl(SocketConnection& socket, int sendTimeoutMs, int receiveTimeoutMs)
        : m_socket(socket), m_sendTimeoutMs(sendTimeoutMs), m_receiveTimeoutMs(receiveTimeoutMs) {}

    FtpReply readReply() {
        FtpReply reply;
        bool multiLine = false;
        for (;;) {
            std::string line;
            reply.result = readLine(line);
            if (reply.result != SocketResult::Ok) return reply;
            reply.text += line + "\n";
            const bool coded = line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
                               std::isdigit(static_cast<unsigned char>(line[1])) &&
                               std::isdigit(static_cast<unsigned char>(line[2]));
            if (!multiLine) {
                if (!coded) continue;
                reply.code = std::stoi(line.substr(0, 3));
                if (line.size() > 3 && line[3] == '-') {
                    multiLine = true;
                    continue;
                }
                return reply;
            }
            if (coded && std::stoi(line.substr(0, 3)) == reply.code && (line.size() == 3 || line[3] == ' '))
                return reply;
        }
    }

    SocketResult send(const std::string& command) { return m_socket.sendAll(command + "\r\n", m_sendTimeoutMs); }

private:
    SocketResult readLine(std::string& line) {
        for (;;) {
            const size_t end = m_buffer.find('\n');
            if (end != std::string::npos) {
                line = m_buffer.substr(0, end);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                m_buffer.erase(0, end + 1);
                return SocketResult::Ok;
            }
            if (m_buffer.size() > 65536) return SocketResult::SystemError;
            char chunk[1024];
            size_t got = 0;
            const SocketResult r = m_socket.receive(chunk, sizeof chunk, m_receiveTimeoutMs, got);
            if (r != SocketResult::Ok) return r;
            m_buffer.append(chunk, got);
        }
    }

    SocketConnection& m_socket;
    const int m_sendTimeoutMs;
    const int m_receiveTimeoutMs;
    std::string m_buffer;
};

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    return text;
}

bool binaryByExtension(const std::string& path, const std::string& list) {
    const size_t slash = path.rfind('/');
    const std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos) return false;
    const std::string extension = lowered(name.substr(dot));
    size_t start = 0;
    while (start <= list.size()) {
        const size_t bar = list.find('|', start);
        const std::string item =
            lowered(list.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
        if (!item.empty() && item == extension) return true;
        if (bar == std::string::npos) break;
        start = bar + 1;
    }
    return false;
}

// "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)" -> the port.
int passivePort(const std::string& text) {
    const size_t open = text.find('(');
    const size_t from = open == std::string::npos ? 4 : open + 1;
    int numbers[6] = {};
    if (std::sscanf(text.c_str() + std::min(from, text.size()), "%d,%d,%d,%d,%d,%d", &numbers[0], &numbers[1],
                    &numbers[2], &numbers[3], &numbers[4], &numbers[5]) != 6)
        return 0;
    if (numbers[4] < 0 || numbers[4] > 255 || numbers[5] < 0 || numbers[5] > 255) return 0;
    return numbers[4] * 256 + numbers[5];
}

}  // namespace

DownloadTask::Outcome DownloadTask::ftpSession(Connection& c) {
    SocketConnection control(m_stop);
    if (Outcome o = openRoute(c, control, c.address.host, c.address.port, false); o != Outcome::Done) return o;
    FtpControl ftp(control, m_parameters.sendTimeoutMs, m_parameters.receiveTimeoutMs);

    // Sends a command (shown as `shown`) and reads its answer; Outcome::Done on an answer.
    FtpReply reply;
    auto command = [&](const std::string& line, const std::string& shown) -> Outcome {
        status(kStatusRequest, shown);
        if (SocketResult r = ftp.send(line); r != SocketResult::Ok) return socketFailure(r, control.error(), false);
        reply = ftp.readReply();
        if (reply.result != SocketResult::Ok) return socketFailure(reply.result, control.error(), true);
        status(kStatusAnswer, reply.text);
        return Outcome::Done;
    };

    status(kStatusProgress, status::kFtpWaitWelcome);
    reply = ftp.readReply();
    if (reply.result != SocketResult::Ok || reply.code != 220) {
        if (reply.result == SocketResult::Stopped || stopping()) return Outcome::Stopped;
        status(kStatusError, status::kFtpNoWelcome);
        return Outcome::Retry;
    }
    status(kStatusAnswer, reply.text);

    std::string user = c.address.user.empty() ? m_parameters.userName : c.address.user;
    std::string password = c.address.user.empty() ? m_parameters.password : c.address.password;
    if (user.empty()) user = "anonymous";
    if (c.address.user.empty() && password.empty()) password = kDefaultPassword;
    if (Outcome o = command("USER " + user, "USER " + user); o != Outcome::Done) return o;
    if (reply.code == 331 || reply.code == 332) {
        if (Outcome o = command("PASS " + password, "PASS ******"); o != Outcome::Done) return o;
    }
    if (reply.code != 230 && reply.code != 202) {
        status(kStatusError, status::kFtpLoginFailed);
        return Outcome::Fail;
    }
    status(kStatusProgress, status::kFtpLoggedIn);

    // Sizes are asked in binary mode: servers refuse or miscount them in text mode.
    if (Outcome o = command("TYPE I", "TYPE I"); o != Outcome::Done) return o;

    // Change to the file's folder and name the file alone: some servers take no paths
    // in SIZE and RETR.
    std::string remote = c.address.path.substr(0, c.address.path.find_first_of("?#"));
    if (const size_t slash = remote.rfind('/'); slash != std::string::npos && slash > 0) {
        const std::string cwd = "CWD " + remote.substr(0, slash);
        if (Outcome o = command(cwd, cwd); o != Outcome::Done) return o;
        if (reply.code / 100 != 2) {
            status(kStatusError, status::kFtpNoSuchFile);
            return Outcome::Fail;
        }
        remote.erase(0, slash + 1);
    }

    if (c.first && m_total < 0) {
        if (Outcome o = command("REST 100", "REST 100"); o != Outcome::Done) return o;
        bool resumes = reply.code == 350;
        if (Outcome o = command("REST 0", "REST 0"); o != Outcome::Done) return o;
        resumes = resumes && reply.code == 350;
        if (!resumes) m_rangesRefused = true;
        status(kStatusProgress, resumes ? status::kFtpResumeSupported : status::kFtpResumeUnsupported);

        if (Outcome o = command("SIZE " + remote, "SIZE " + remote); o != Outcome::Done) return o;
        const auto total =
            reply.code == 213 && reply.text.size() > 4 ? parseByteCount(reply.text.substr(4)) : std::nullopt;
        if (!total) {
            status(kStatusError, status::kFtpNoSuchFile);
            return Outcome::Fail;
        }
        if (!beginFile(*total, fileNameFromPath(c.address.path).value_or(std::string()))) return Outcome::Fail;
        cutIntoSegments(c, *total);
    }

    const Segment segment = m_segments.get(c.segment);
    if (segment.complete()) return Outcome::Done;

    const bool binary =
        m_parameters.ftpTransferType == 1 ||
        (m_parameters.ftpTransferType == 3 && binaryByExtension(c.address.path, m_parameters.fileTypeList));
    if (!binary) {
        if (Outcome o = command("TYPE A", "TYPE A"); o != Outcome::Done) return o;
    }

    SocketConnection data(m_stop);
    bool active = false;
    if (Outcome o = command("PASV", "PASV"); o != Outcome::Done) return o;
    const int port = reply.code == 227 ? passivePort(reply.text) : 0;
    if (port > 0) {
        // The data channel goes to the server we logged in to, whatever address the
        // answer names: a server cannot send us to a third host.
        if (!data.resolve(control.peerAddress(), port)) return Outcome::Retry;
        const SocketResult r = data.connect(m_parameters.connectTimeoutMs);
        if (r != SocketResult::Ok) return socketFailure(r, data.error(), false);
    } else {
        status(kStatusProgress, status::kFtpTryActive);
        const std::string local = control.localAddress();
        if (!data.listenBeside(control) || local.find(':') != std::string::npos) {
            status(kStatusError, status::kFtpActiveFailed);
            return Outcome::Fail;
        }
        std::string numbers = local;
        std::replace(numbers.begin(), numbers.end(), '.', ',');
        const int listenPort = data.localPort();
        if (Outcome o = command(
                "PORT " + numbers + "," + std::to_string(listenPort / 256) + "," + std::to_string(listenPort % 256),
                "PORT " + numbers + "," + std::to_string(listenPort / 256) + "," + std::to_string(listenPort % 256));
            o != Outcome::Done)
            return o;
        if (reply.code != 200) {
            status(kStatusError, status::kFtpActiveFailed);
            return Outcome::Fail;
        }
        active = true;
    }

    const bool whole = c.canStream && m_rangesRefused;
    c.streamPos = 0;
    if (!whole) {
        const std::string rest = "REST " + std::to_string(segment.position());
        if (Outcome o = command(rest, rest); o != Outcome::Done) return o;
        if (reply.code != 350) {
            status(kStatusError, status::kFtpTransferFailed);
            return Outcome::Fail;
        }
        c.streamPos = segment.position();
    }
    if (Outcome o = command("RETR " + remote, "RETR " + remote); o != Outcome::Done) return o;
    if (reply.code != 125 && reply.code != 150) {
        status(kStatusError, status::kFtpTransferFailed);
        return Outcome::Fail;
    }
    if (active) {
        const SocketResult r = data.acceptOne(m_parameters.connectTimeoutMs);
        if (r != SocketResult::Ok) return socketFailure(r, data.error(), false);
    }
    const Outcome read = readBody(c, data, std::string());
    data.close();
    if (read == Outcome::Done) {
        status(kStatusRequest, "QUIT");
        (void)ftp.send("QUIT");
    }
    return read;
}

}  // namespace update
