#include "widgetfit.h"

#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QStyle>

void fit_label_font(QLabel *label)
{
    if (label->wordWrap() || label->text().isEmpty() || !label->pixmap().isNull())
        return;
    QFont font = label->font();
    const int room = label->contentsRect().width() - 2 * label->margin();
    // A label of several lines fits when its widest line does.
    const QStringList lines = label->text().split(QLatin1Char('\n'));
    const auto widest = [&lines](const QFontMetrics &metrics) {
        int width = 0;
        for (const QString &line : lines)
            width = qMax(width, metrics.horizontalAdvance(line));
        return width;
    };
    while (widest(QFontMetrics(font)) > room && font.pointSizeF() > 7.0)
        font.setPointSizeF(font.pointSizeF() - 0.5);
    if (font != label->font())
        label->setFont(font);
}

void fit_label_before(QLabel *label, int x)
{
    const int height = label->height();
    label->adjustSize();
    label->resize(qMin(label->width(), x - 5 - label->x()), height);
    fit_label_font(label);
}

void fit_button_width(QPushButton *button)
{
    const int margins = 2 * button->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
    const int needed = button->fontMetrics().horizontalAdvance(button->text()) + margins;
    if (needed > button->width())
        button->resize(needed, button->height());
}

void widen_label_to_text(QLabel *label, int most)
{
    const int needed = label->fontMetrics().horizontalAdvance(label->text()) + 2 * label->margin()
                       + 2 * label->frameWidth();
    if (needed > label->width())
        label->resize(qMin(needed, most), label->height());
}
