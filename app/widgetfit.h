#pragma once

class QLabel;
class QPushButton;

// The form's sizes were made for other fonts than a Linux desktop's, and
// the texts stay as they are: these make a widget fit its text instead.

// A one-line label whose text is wider than the label gets a smaller font
// until it fits.
void fit_label_font(QLabel *label);

// Widens a push button until its text fits between its margins.
void fit_button_width(QPushButton *button);
