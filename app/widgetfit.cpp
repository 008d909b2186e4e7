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
    while (QFontMetrics(font).horizontalAdvance(label->text()) > room && font.pointSizeF() > 7.0)
        font.setPointSizeF(font.pointSizeF() - 0.5);
    if (font != label->font())
        label->setFont(font);
}

void fit_button_width(QPushButton *button)
{
    const int margins = 2 * button->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
    const int needed = button->fontMetrics().horizontalAdvance(button->text()) + margins;
    if (needed > button->width())
        button->resize(needed, button->height());
}
