#include "update/download_engine.h"

#include "update/download_address.h"
#include "update/download_task.h"

namespace update {

DownloadObject::DownloadObject() = default;

DownloadObject::~DownloadObject() { releaseTask(*this); }

bool DownloadObject::waitFinished(int timeoutMs) const { return !m_task || m_task->waitFinished(timeoutMs); }

bool startTask(const DownloadParameters& parameters, DownloadObject& object, const EngineSettings& settings) {
    if (object.m_task) {
        if (!object.m_task->waitFinished(0)) return false;
        releaseTask(object);
    }
    auto address = parseDownloadAddress(parameters.address);
    // Streaming-media addresses are recognised but this engine has no transfer for them.
    if (!address || (address->protocol != Protocol::Http && address->protocol != Protocol::Ftp)) return false;
    DownloadParameters copy = parameters;
    copy.taskFlags |= 0x1000;
    auto task = std::make_shared<DownloadTask>(copy, std::move(*address), settings);
    if (!task->launch(task)) return false;
    object.m_task = std::move(task);
    return true;
}

std::int64_t bytesReceived(const DownloadObject& object) { return object.m_task ? object.m_task->bytesReceived() : 0; }

void releaseTask(DownloadObject& object) {
    if (!object.m_task) return;
    std::shared_ptr<DownloadTask> task = std::move(object.m_task);
    task->requestStop();
    // Wait for the connections in 20 ms steps, up to the stop wait.
    for (int waited = 0; !task->waitFinished(0) && waited < task->stopWaitMs(); waited += 20) task->waitFinished(20);
    task->joinOrDetach();
}

}  // namespace update
