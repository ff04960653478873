#include "window/WrappingToolBar.h"

#include <QFrame>
#include <QToolButton>

WrappingToolBar::WrappingToolBar(QWidget *parent) : QWidget(parent) {}

QToolButton *WrappingToolBar::addButton(const QString &objectName, const QString &caption)
{
    auto *button = new QToolButton(this);
    button->setObjectName(objectName);
    button->setText(caption);
    button->setToolButtonStyle(Qt::ToolButtonTextOnly);
    button->setAutoRaise(true);
    button->setFocusPolicy(Qt::NoFocus);
    button->setFixedSize(kButtonWidth, kButtonHeight);
    items_.append(button);
    return button;
}

QWidget *WrappingToolBar::addSeparator(const QString &objectName)
{
    auto *separator = new QFrame(this);
    separator->setObjectName(objectName);
    separator->setFrameShape(QFrame::NoFrame);
    separator->setFixedSize(kSeparatorWidth, kButtonHeight);
    items_.append(separator);
    return separator;
}

int WrappingToolBar::oneRowWidth() const
{
    int width = 0;
    for (const QWidget *item : items_)
        width += item->width();
    return width;
}

int WrappingToolBar::heightForWidth(int width) const
{
    return arrange(width, false);
}

void WrappingToolBar::resizeEvent(QResizeEvent *)
{
    arrange(width(), true);
}

int WrappingToolBar::arrange(int width, bool apply) const
{
    int x = 0;
    int y = 0;
    for (QWidget *item : items_) {
        const int w = item->width();
        // A row always takes its first item, however narrow the bar.
        if (x > 0 && x + w > width) {
            x = 0;
            y += kButtonHeight;
        }
        if (apply)
            item->move(x, y);
        x += w;
    }
    return y + kButtonHeight;
}
