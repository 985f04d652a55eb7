// The form element scanner: sorts the elements of a page document into the thirteen
// element lists of PageDocument, in one round trip into the page whatever its size.
// User-interface thread only.
#pragma once

#include <QString>
#include <array>
#include <vector>

#include "login/dispatch_call.h"

namespace login {

struct FormScan {
    QString documentUrl;  // where the scanned document came from
    // In PageDocument's list order: div, button, table, radio, checkbox, text box,
    // select, link, hidden, image, textarea, frame, form.
    std::array<std::vector<DispatchObject>, 13> lists;
};

// The lists of the document's body (frames only as entries of the frame list). A
// document that cannot be read gives empty lists and the call status says why.
FormScan scanFormElements(const DispatchObject& document);

}  // namespace login
