// The download engine: fetches one file over HTTP or FTP into a local file, in the
// background, over several connections that each fetch one byte range of the file.
// Callers own the DownloadObject; every handler runs on an engine thread, never on
// the caller's. startTask/bytesReceived/releaseTask may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace update {

class DownloadTask;  // the engine's own bookkeeping of one running download

// Task event codes passed to the task event handler.
enum TaskEventCode : int {
    kEventSizeKnown = 3,  // value: total size; the local file is created
    kEventTaskEnded = 4,  // always the last event; value: total size, or bytes received when stopped
    kEventConnectionStarted = 5,
    kEventSegmentBegun = 6,      // value: position where the connection begins; data: the segment's end
    kEventSegmentTakenOver = 7,  // as for 6, for a connection that finished its own segment
    kEventConnectionEnded = 8,   // value: position reached in its segment
    kEventConnectionFailed = 9,  // value: position reached in its segment
    kEventBytesArrived = 16,     // value: number of bytes
    kEventLocalFileExists = 18,  // answer with a LocalFileAnswer
};

// Answers to kEventLocalFileExists.
enum LocalFileAnswer : int {
    kAnswerAutomaticName = 0,   // the engine picks stem(1).ext, stem(2).ext, ...
    kAnswerGiveUp = 1,          // the task fails
    kAnswerHandlerRenamed = 2,  // the handler has written the new path into TaskEvent::localFile
};

struct TaskEvent {
    int code = 0;
    std::int64_t value = 0;
    std::int64_t data = 0;  // events 6/7: the segment's end (exclusive); event 4: bytes received
    DownloadTask* task = nullptr;
    // Event 18: the path that exists; with kAnswerHandlerRenamed the handler puts the
    // new path here. Events 3 and 4: the path the engine is writing / has written
    // (empty on event 4 when no file was created).
    std::string localFile;
    bool complete = false;  // event 4: every byte of a known total size has arrived
};

// Status text levels.
enum StatusLevel : int { kStatusProgress = 0, kStatusRequest = 1, kStatusAnswer = 2, kStatusError = 3 };

using StatusHandler = std::function<void(int level, const std::string& text)>;  // text is UTF-8
using TaskEventHandler = std::function<int(TaskEvent& event)>;

inline constexpr const char* kDefaultFileTypes = ".exe|.rar|.zip|.gif|.jpg|.mp3|.rm";
inline constexpr const char* kDefaultPassword = "guest@example.com";

// The download parameter record, members in order, with the start-up values.
struct DownloadParameters {
    int taskFlags = 1;                             // 1: 0x10 download / 0x20 upload in bits 8-15; start sets 0x1000
    std::string address;                           // 2
    std::string localFile;                         // 3: a path ending in "/" names a folder
    std::string userName = "anonymous";            // 4: FTP login
    std::string password = kDefaultPassword;       // 5: FTP password
    int connections = 1;                           // 6
    int speedLimit = 0;                            // 7: bytes per second for the whole task; 0 = unlimited
    int connectTimeoutMs = 20000;                  // 8
    int sendTimeoutMs = 20000;                     // 9
    int receiveTimeoutMs = 20000;                  // 10
    int stopWaitMs = 1000;                         // 11: how long releaseTask waits, in 20 ms steps
    int receiveBlock = 20480;                      // 12: bytes asked for per receive call
    int sendBlock = 1024;                          // 13: bytes per send call of an upload
    StatusHandler statusHandler;                   // 14: empty = no texts
    TaskEventHandler eventHandler;                 // 15
    std::string ftpText;                           // 16
    int ftpTransferType = 1;                       // 17: 1 "TYPE I", 2 "TYPE A", 3 by extension in member 18
    std::string fileTypeList = kDefaultFileTypes;  // 18
    std::string proxy;                             // 19: host or host:port (port 80 by default); empty = direct
    std::string referrer;                          // 20: empty = the address up to its last "/"
};

// Engine-wide settings; tests and tools shorten the waits.
struct EngineSettings {
    int retryWaitMs = 5000;
    int maxRetries = 999;        // per connection
    int controllerIdleMs = 100;  // the task thread's wait when its event queue is empty
    int maxRedirects = 10;
    unsigned localFileMode = 0644;  // permission bits of the local file (the umask applies)
};

// Holds at most one task. Destroying it releases the task.
class DownloadObject {
public:
    DownloadObject();
    ~DownloadObject();
    DownloadObject(const DownloadObject&) = delete;
    DownloadObject& operator=(const DownloadObject&) = delete;

    bool holdsTask() const { return m_task != nullptr; }
    // Waits until the task has raised event 4; false when it has not within timeoutMs
    // (negative: wait for ever). True when the object holds no task.
    bool waitFinished(int timeoutMs) const;

private:
    friend bool startTask(const DownloadParameters&, DownloadObject&, const EngineSettings&);
    friend std::int64_t bytesReceived(const DownloadObject&);
    friend void releaseTask(DownloadObject&);
    std::shared_ptr<DownloadTask> m_task;
};

// Parses the address, creates the task and starts its thread. False when the object
// already holds a running task, the address is not recognised or has no path, or no
// thread can be started.
[[nodiscard]] bool startTask(const DownloadParameters& parameters, DownloadObject& object,
                             const EngineSettings& settings = {});

// The task's byte counter; it stays readable after the task has ended until the task
// is released, so a last progress reading still sees every byte. 0 when the object
// holds no task. Never blocks.
std::int64_t bytesReceived(const DownloadObject& object);

// Stops a running task (waits up to the stop wait for its connections) and frees it;
// the object is empty afterwards.
void releaseTask(DownloadObject& object);

// Tasks whose thread has not ended yet, over the whole process.
int runningTaskCount();

// Status texts (UTF-8; "%s"/"%d" are filled in by the engine).
namespace status {
inline constexpr const char* kResolving = "正在解析域名 [%s]";
inline constexpr const char* kResolvingProxy = "正在代理服务器解析域名 [%s]";
inline constexpr const char* kResolveFailed = "解析域名 [%s]出错";
inline constexpr const char* kResolveProxyFailed = "解析代理服务器域名 [%s]出错";
inline constexpr const char* kConnecting = "正在连接 [%s:%d]";
inline constexpr const char* kConnectingProxy = "正在连接代理服务器 [%s:%d]";
inline constexpr const char* kConnected = "连接 [%s:%d]成功";
inline constexpr const char* kSegmentConnected = "连接[%s:%d]成功";
inline constexpr const char* kConnectTimedOut = "连接 [%s:%d]超时";
inline constexpr const char* kConnectFailed = "连接 [%s:%d]失败";
inline constexpr const char* kSendRequestFailed = "发送请求失败";
inline constexpr const char* kHeaderTooLong = "HTTP返回头部信息过长";
inline constexpr const char* kRedirectTo = "重定向到 [%s]";
inline constexpr const char* kRedirectMissing = "获得重定向信息错误";
inline constexpr const char* kRedirectUnusable = "COOKIE过长或获得重定向信息错误或不支持的协议";
inline constexpr const char* kErrorOccurred = "出现错误";
inline constexpr const char* kUnsupportedAnswer = "暂时不支持的返回, 返回号[%d]";
inline constexpr const char* kNoFileSize = "无法获得文件大小";
inline constexpr const char* kAutoRenamed = "发现同名文件, 系统自动更名为%s";
inline constexpr const char* kAutoRenameExhausted = "发现同名文件，超过系统自动更名次数";
inline constexpr const char* kUserGaveUp = "发现同名文件, 用户选择放弃下载";
inline constexpr const char* kUserRenamed = "发现同名文件, 用户更名为%s";
inline constexpr const char* kCreateFileFailed = "创建文件错误，超出最大支持下载长度或磁盘是可写或磁盘没有空间";
inline constexpr const char* kRetryWait = "等待%d秒后重试";
inline constexpr const char* kReceiveTimedOut = "接收数据超时";
inline constexpr const char* kReceiveFailed = "接收数据错误";
inline constexpr const char* kSendFailed = "发送数据错误";
inline constexpr const char* kWaitTimedOut = "等待接收或发送数据超时";
inline constexpr const char* kWaitFailed = "等待接收或发送数据错误";
inline constexpr const char* kSomeError = "有错误发生";
inline constexpr const char* kUnknownError = "未知错误";
inline constexpr const char* kConnectionReset = "远程主机强迫关闭了一个现有的连接。";
// FTP
inline constexpr const char* kFtpWaitWelcome = "连接成功, 等待欢迎消息";
inline constexpr const char* kFtpNoWelcome = "无法得到欢迎消息";
inline constexpr const char* kFtpLoggedIn = "登录成功";
inline constexpr const char* kFtpLoginFailed = "登录失败";
inline constexpr const char* kFtpResumeSupported = "站点支持断点续传";
inline constexpr const char* kFtpResumeUnsupported = "站点不支持断点续传";
inline constexpr const char* kFtpNoSuchFile = "文件不存在";
inline constexpr const char* kFtpTryActive = "尝试主动模式连接";
inline constexpr const char* kFtpActiveFailed = "设置主动模式失败";
inline constexpr const char* kFtpTransferFailed = "数据传送失败";
}  // namespace status

}  // namespace update
