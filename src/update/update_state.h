// The process-wide update state: the mode of the update window, the versions, the
// size of the download and the one download object with its parameter record.
// The mode, version text and parameters belong to the user-interface thread; the
// total size is written by the engine's event handler and read by the progress timer.
#pragma once

#include <QByteArray>
#include <QString>
#include <atomic>
#include <cstdint>

#include "update/download_engine.h"
#include "update/update_signature.h"

namespace update {

// The update mode texts.
inline const QString kModeChecking = QStringLiteral("版本检测");
inline const QString kModeOffering = QStringLiteral("升级文件");

// The deployment's update host. A reserved name that never resolves, so that a build
// which was not given its real host cannot talk to anybody else's server.
inline constexpr const char* kUpdateHost = "soft.lanhe.example";
inline constexpr const char* kVersionTextPath = "/revo/soft/tmbl/readme.txt";
inline constexpr const char* kInstallerPath = "/revo/soft/tmbl/tmblupdate.exe";
inline constexpr const char* kSignatureSuffix = ".sig";  // the installer's address + this = its signature
inline constexpr const char* kDownloadFileName = "NQWXBD5.exe.tmp";

// The key our releases are signed with, built in from the TMBL_UPDATE_KEY cache variable.
PublicKey releaseKey();

struct UpdateState {
    QString mode = kModeChecking;
    double currentVersion = 0.0;
    std::atomic<std::int64_t> totalSize{0};  // 0 until the engine knows the length
    QByteArray versionText;
    DownloadParameters parameters;  // start-up values until a download is set up
    DownloadObject download;
};

// The one instance, made on first use.
UpdateState& updateState();

}  // namespace update
