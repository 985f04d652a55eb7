// The FTP side of a download connection: log in, learn the size, open a data channel
// (passive, falling back to active) and fetch the connection's segment.
#include <algorithm>
#include <cctype>
#include <cstdio>

#include "update/download_task.h"
#include "update/ftp_control.h"
#include "update/status_text.h"

namespace update {

namespace {

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
    FtpReply reply;
    if (Outcome o = ftpLogin(c, ftp); o != Outcome::Done) return o;
    // Sizes are asked in binary mode: servers refuse or miscount them in text mode.
    if (Outcome o = ftpCommand(ftp, "TYPE I", "TYPE I", reply); o != Outcome::Done) return o;
    std::string remote;
    if (Outcome o = ftpEnterFolder(c, ftp, remote); o != Outcome::Done) return o;
    if (c.first && m_total < 0) {
        if (Outcome o = ftpLearnSize(c, ftp, remote); o != Outcome::Done) return o;
    }

    const Segment segment = m_segments.get(c.segment);
    if (segment.complete()) return Outcome::Done;
    const bool binary =
        m_parameters.ftpTransferType == 1 ||
        (m_parameters.ftpTransferType == 3 && binaryByExtension(c.address.path, m_parameters.fileTypeList));
    if (!binary) {
        if (Outcome o = ftpCommand(ftp, "TYPE A", "TYPE A", reply); o != Outcome::Done) return o;
    }

    SocketConnection data(m_stop);
    bool active = false;
    if (Outcome o = ftpOpenData(ftp, data, active); o != Outcome::Done) return o;
    if (Outcome o = ftpRetrieve(c, ftp, data, active, remote, segment); o != Outcome::Done) return o;
    const Outcome read = readBody(c, data, std::string());
    data.close();
    if (read == Outcome::Done) {
        status(kStatusRequest, "QUIT");
        (void)ftp.send("QUIT");
    }
    return read;
}

// Sends a command (shown in the status texts as `shown`) and reads its reply;
// Outcome::Done when a reply came, whatever its code.
DownloadTask::Outcome DownloadTask::ftpCommand(FtpControl& ftp, const std::string& line, const std::string& shown,
                                               FtpReply& reply) {
    status(kStatusRequest, shown);
    if (SocketResult r = ftp.send(line); r != SocketResult::Ok) return socketFailure(r, ftp.socket().error(), false);
    reply = ftp.readReply();
    if (reply.result != SocketResult::Ok) return ftpReplyFailure(ftp, reply);
    status(kStatusAnswer, reply.text);
    return Outcome::Done;
}

DownloadTask::Outcome DownloadTask::ftpReplyFailure(FtpControl& ftp, const FtpReply& reply) {
    // A server that does not end its reply would do the same again: no retry.
    if (reply.tooLong) {
        status(kStatusError, status::kSomeError);
        return Outcome::Fail;
    }
    return socketFailure(reply.result, ftp.socket().error(), true);
}

DownloadTask::Outcome DownloadTask::ftpLogin(Connection& c, FtpControl& ftp) {
    status(kStatusProgress, status::kFtpWaitWelcome);
    FtpReply reply = ftp.readReply();
    if (reply.tooLong) return ftpReplyFailure(ftp, reply);
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
    if (Outcome o = ftpCommand(ftp, "USER " + user, "USER " + user, reply); o != Outcome::Done) return o;
    if (reply.code == 331 || reply.code == 332) {
        if (Outcome o = ftpCommand(ftp, "PASS " + password, "PASS ******", reply); o != Outcome::Done) return o;
    }
    if (reply.code != 230 && reply.code != 202) {
        status(kStatusError, status::kFtpLoginFailed);
        return Outcome::Fail;
    }
    status(kStatusProgress, status::kFtpLoggedIn);
    return Outcome::Done;
}

// Changes to the file's folder and names the file alone in `remote`: some servers take
// no paths in SIZE and RETR.
DownloadTask::Outcome DownloadTask::ftpEnterFolder(const Connection& c, FtpControl& ftp, std::string& remote) {
    remote = c.address.path.substr(0, c.address.path.find_first_of("?#"));
    const size_t slash = remote.rfind('/');
    if (slash == std::string::npos || slash == 0) return Outcome::Done;  // a file in the top folder
    const std::string cwd = "CWD " + remote.substr(0, slash);
    FtpReply reply;
    if (Outcome o = ftpCommand(ftp, cwd, cwd, reply); o != Outcome::Done) return o;
    if (reply.code / 100 != 2) {
        status(kStatusError, status::kFtpNoSuchFile);
        return Outcome::Fail;
    }
    remote.erase(0, slash + 1);
    return Outcome::Done;
}

// The first connection: whether the server resumes, the file's size, the local file
// and the segments.
DownloadTask::Outcome DownloadTask::ftpLearnSize(Connection& c, FtpControl& ftp, const std::string& remote) {
    FtpReply reply;
    if (Outcome o = ftpCommand(ftp, "REST 100", "REST 100", reply); o != Outcome::Done) return o;
    bool resumes = reply.code == 350;
    if (Outcome o = ftpCommand(ftp, "REST 0", "REST 0", reply); o != Outcome::Done) return o;
    resumes = resumes && reply.code == 350;
    if (!resumes) m_rangesRefused = true;
    status(kStatusProgress, resumes ? status::kFtpResumeSupported : status::kFtpResumeUnsupported);

    if (Outcome o = ftpCommand(ftp, "SIZE " + remote, "SIZE " + remote, reply); o != Outcome::Done) return o;
    const auto total = reply.code == 213 && reply.text.size() > 4 ? parseByteCount(reply.text.substr(4)) : std::nullopt;
    if (!total) {
        status(kStatusError, status::kFtpNoSuchFile);
        return Outcome::Fail;
    }
    if (!beginFile(*total, fileNameFromPath(c.address.path).value_or(std::string()))) return Outcome::Fail;
    cutIntoSegments(c, *total);
    return Outcome::Done;
}

// The data channel: passive, or else active with us listening beside the control
// connection.
DownloadTask::Outcome DownloadTask::ftpOpenData(FtpControl& ftp, SocketConnection& data, bool& active) {
    SocketConnection& control = ftp.socket();
    FtpReply reply;
    if (Outcome o = ftpCommand(ftp, "PASV", "PASV", reply); o != Outcome::Done) return o;
    if (const int port = reply.code == 227 ? passivePort(reply.text) : 0; port > 0) {
        // The data channel goes to the server we logged in to, whatever address the
        // answer names: a server cannot send us to a third host.
        if (!data.resolve(control.peerAddress(), port)) return Outcome::Retry;
        const SocketResult r = data.connect(m_parameters.connectTimeoutMs);
        return r == SocketResult::Ok ? Outcome::Done : socketFailure(r, data.error(), false);
    }
    status(kStatusProgress, status::kFtpTryActive);
    const std::string local = control.localAddress();
    if (!data.listenBeside(control) || local.find(':') != std::string::npos) {
        status(kStatusError, status::kFtpActiveFailed);
        return Outcome::Fail;
    }
    std::string numbers = local;
    std::replace(numbers.begin(), numbers.end(), '.', ',');
    const int listenPort = data.localPort();
    const std::string port =
        "PORT " + numbers + "," + std::to_string(listenPort / 256) + "," + std::to_string(listenPort % 256);
    if (Outcome o = ftpCommand(ftp, port, port, reply); o != Outcome::Done) return o;
    if (reply.code != 200) {
        status(kStatusError, status::kFtpActiveFailed);
        return Outcome::Fail;
    }
    active = true;
    return Outcome::Done;
}

// Positions the transfer at the segment's next byte (unless the whole file is read)
// and starts it; in active mode the server's data connection is taken here.
DownloadTask::Outcome DownloadTask::ftpRetrieve(Connection& c, FtpControl& ftp, SocketConnection& data, bool active,
                                                const std::string& remote, const Segment& segment) {
    FtpReply reply;
    const bool whole = c.canStream && m_rangesRefused;
    c.streamPos = 0;
    if (!whole) {
        const std::string rest = "REST " + std::to_string(segment.position());
        if (Outcome o = ftpCommand(ftp, rest, rest, reply); o != Outcome::Done) return o;
        if (reply.code != 350) {
            status(kStatusError, status::kFtpTransferFailed);
            return Outcome::Fail;
        }
        c.streamPos = segment.position();
    }
    if (Outcome o = ftpCommand(ftp, "RETR " + remote, "RETR " + remote, reply); o != Outcome::Done) return o;
    if (reply.code != 125 && reply.code != 150) {
        status(kStatusError, status::kFtpTransferFailed);
        return Outcome::Fail;
    }
    if (!active) return Outcome::Done;
    // Only the server we logged in to may deliver the file: anybody else who reaches
    // the listening port first is turned away.
    const SocketResult r = data.acceptFrom(ftp.socket().peerAddress(), m_parameters.connectTimeoutMs);
    return r == SocketResult::Ok ? Outcome::Done : socketFailure(r, data.error(), false);
}

}  // namespace update
