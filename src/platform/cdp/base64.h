#pragma once

#include <QByteArray>

#include <optional>

namespace snapvel::cdp {

// Decodes base64 text as the browser sends pictures (the standard alphabet,
// padded with '=', without line breaks) in the text's own buffer, several
// times faster than QByteArray's decoder: a long page's picture is tens of
// megabytes of it. Nothing when the text is not such base64.
std::optional<QByteArray> decodeBase64(QByteArray text);

} // namespace snapvel::cdp
