#include "login/form_scanner.h"

namespace login {

// The walk itself runs inside the page (the bridge's "scan"): input elements by their
// type, then the frames, then the tag collections form, image, button, table, select,
// textarea, a and div, each element read the way single calls would read it. Walking
// element by element from here would cost one round trip per read, seconds on a large
// page inside a browser event.
FormScan scanFormElements(const DispatchObject& document) {
    FormScan scan;
    const std::optional<QVariant> answer = Bridge::callEntry(document, "scan", {});
    if (!answer) return scan;
    const QVariantList parts = answer->toList();
    if (parts.size() != 2) return scan;
    scan.documentUrl = parts.at(0).toString();
    const QVariantList lists = parts.at(1).toList();
    for (size_t i = 0; i < scan.lists.size() && i < static_cast<size_t>(lists.size()); ++i) {
        const QVariantList ids = lists.at(static_cast<qsizetype>(i)).toList();
        scan.lists[i].reserve(static_cast<size_t>(ids.size()));
        for (const QVariant& id : ids) scan.lists[i].push_back(Bridge::objectFrom(document, id.toLongLong()));
    }
    return scan;
}

}  // namespace login
