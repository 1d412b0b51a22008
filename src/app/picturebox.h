#pragma once

#include <QImage>
#include <QMimeData>
#include <QWidget>

namespace snapvel {

// A picture box: shows an image at its top-left corner over its background
// colour, and reports everything dropped on it.
class PictureBox : public QWidget
{
    Q_OBJECT

public:
    explicit PictureBox(QWidget *parent = nullptr);

    // Shows the image and takes its size.
    void setImage(const QImage &image);
    const QImage &image() const { return m_image; }

signals:
    void dropped(const QMimeData *data);

protected:
    void paintEvent(QPaintEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    QImage m_image;
};

} // namespace snapvel
