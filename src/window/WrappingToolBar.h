#pragma once

#include <QWidget>

class QToolButton;

// A row of fixed-size text buttons and separators that wraps onto further
// rows when its holder is too narrow, instead of hiding buttons behind an
// extension arrow as QToolBar does.
class WrappingToolBar : public QWidget
{
    Q_OBJECT

public:
    static constexpr int kButtonWidth = 51;
    static constexpr int kButtonHeight = 24;
    static constexpr int kSeparatorWidth = 8;

    explicit WrappingToolBar(QWidget *parent = nullptr);

    QToolButton *addButton(const QString &objectName, const QString &caption);
    QWidget *addSeparator(const QString &objectName);

    // Width that holds every item in one row.
    int oneRowWidth() const;
    // Height of the rows needed at the given width.
    int heightForWidth(int width) const override;
    bool hasHeightForWidth() const override { return true; }
    // Places the items for the present width.
    void arrangeItems() { arrange(width(), true); }

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    // Places the items for the given width; returns the height used.
    int arrange(int width, bool apply) const;

    QList<QWidget *> items_;
};
