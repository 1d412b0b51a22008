#include "output/apiimage.h"

#include "platform/uiservices.h"

namespace snapvel::ApiImage {

namespace {

QString withoutOuterSpaces(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == QLatin1Char(' '))
        ++begin;
    while (end > begin && text.at(end - 1) == QLatin1Char(' '))
        --end;
    return text.mid(begin, end - begin);
}

} // namespace

QString bitmapPathFromChoice(const QString &chosen)
{
    const QString path = withoutOuterSpaces(chosen);
    if (path.isEmpty())
        return {};
    const QLatin1String extension(".bmp");
    return path.endsWith(extension, Qt::CaseInsensitive) ? path : path + extension;
}

QString SaveFileDialog(UiServices &ui, const QString &title, const QString & /*filter*/,
                       const QString & /*extension*/)
{
    const QString chosen =
        ui.saveFileName(SaveDialogRequest{title, QString::fromLatin1(BitmapFilterDescription),
                                          QString::fromLatin1(BitmapFilterPattern)});
    return bitmapPathFromChoice(chosen);
}

} // namespace snapvel::ApiImage
