#include "loading/dropcontent.h"

#include <QMimeData>
#include <QUrl>

namespace snapvel {

DropContent dropContentOf(const QMimeData *data)
{
    if (!data)
        return {};

    // Files: the first local file of the list is opened; the rest are ignored.
    if (data->hasUrls()) {
        const QList<QUrl> urls = data->urls();
        for (const QUrl &url : urls) {
            if (url.isLocalFile())
                return {DropContent::Kind::OpenFile, url.toLocalFile()};
        }
    }
    // Text, even empty text, is loaded as an address.
    if (data->hasText())
        return {DropContent::Kind::Navigate, data->text()};
    // A link dragged without a text form still names an address.
    if (data->hasUrls() && !data->urls().isEmpty())
        return {DropContent::Kind::Navigate, data->urls().constFirst().toString()};
    return {};
}

} // namespace snapvel
