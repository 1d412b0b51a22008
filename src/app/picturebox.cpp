#include "app/picturebox.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QPaintEvent>
#include <QPainter>

namespace snapvel {

PictureBox::PictureBox(QWidget *parent) : QWidget(parent)
{
    setAutoFillBackground(true);
    setAcceptDrops(true);
    setFocusPolicy(Qt::StrongFocus);
}

void PictureBox::setImage(const QImage &image)
{
    m_image = image;
    resize(image.size());
    update();
}

void PictureBox::paintEvent(QPaintEvent *event)
{
    if (m_image.isNull())
        return;
    // Only the exposed part is drawn, so scrolling a very tall capture costs
    // no more than the viewport's area.
    QPainter painter(this);
    const QRect area = event->rect() & m_image.rect();
    painter.drawImage(area.topLeft(), m_image, area);
}

void PictureBox::dragEnterEvent(QDragEnterEvent *event)
{
    event->acceptProposedAction();
}

void PictureBox::dragMoveEvent(QDragMoveEvent *event)
{
    event->acceptProposedAction();
}

void PictureBox::dropEvent(QDropEvent *event)
{
    event->acceptProposedAction();
    emit dropped(event->mimeData());
}

} // namespace snapvel
