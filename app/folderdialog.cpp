#include "folderdialog.h"

#include "messages.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

namespace {

QLineEdit *name_field(const QFileDialog *dialog)
{
    return dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
}

QPushButton *choose_button(const QFileDialog *dialog)
{
    const auto *buttons = dialog->findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"));
    return buttons ? buttons->button(QDialogButtonBox::Open) : nullptr;
}

} // namespace

FolderDialog::FolderDialog(QWidget *parent, const QString &caption, const QString &directory)
    : QFileDialog(parent, caption, directory)
{
    // Qt's own dialog everywhere, so typed paths are handled alike on every desktop.
    setOption(QFileDialog::DontUseNativeDialog);
    setFileMode(QFileDialog::Directory);
    setOption(QFileDialog::ShowDirsOnly);
    if (QLineEdit *field = name_field(this)) {
        // The dialog's own handling of the typed text selects a matching
        // entry of another folder and then writes that entry's bare name over
        // the typed path: the text stays as typed, and "Choose" follows it.
        disconnect(field, SIGNAL(textChanged(QString)), this, nullptr);
        connect(field, &QLineEdit::textChanged, this, &FolderDialog::keep_choose_enabled);
    }
    // The dialog sets "Choose" again whenever its listing of the folder
    // changes; a typed folder it does not know of yet is still a good choice.
    if (QPushButton *button = choose_button(this))
        button->installEventFilter(this);
}

QString FolderDialog::choose(QWidget *parent, const QString &caption, const QString &directory)
{
    FolderDialog dialog(parent, caption, directory);
    return dialog.exec() == QDialog::Accepted ? dialog.chosen() : QString();
}

QString FolderDialog::typed_folder() const
{
    const QLineEdit *field = name_field(this);
    QString typed = field ? field->text().trimmed() : QString();
    if (typed.isEmpty())
        return directory().absolutePath();
    // Names the dialog wrote for the entries selected in its list, "a" "b":
    // the first is the folder chosen.
    if (typed.startsWith(QLatin1Char('"'))) {
        const qsizetype end = typed.indexOf(QLatin1Char('"'), 1);
        typed = typed.mid(1, end < 0 ? -1 : end - 1);
    }
    if (typed == QLatin1String("~") || typed.startsWith(QLatin1String("~/")))
        typed.replace(0, 1, QDir::homePath());
    return QDir::cleanPath(directory().absoluteFilePath(typed));
}

bool FolderDialog::can_be_chosen(const QString &folder)
{
    QFileInfo info(folder);
    while (!info.exists()) {
        const QString parent = info.absolutePath();
        if (parent == info.absoluteFilePath())
            return false;
        info.setFile(parent);
    }
    return info.isDir();
}

void FolderDialog::keep_choose_enabled()
{
    if (QPushButton *button = choose_button(this))
        button->setEnabled(can_be_chosen(typed_folder()));
}

bool FolderDialog::eventFilter(QObject *watched, QEvent *event)
{
    // After the dialog's own update, which may come later than the typing.
    if (event->type() == QEvent::EnabledChange && watched == choose_button(this))
        QTimer::singleShot(0, this, &FolderDialog::keep_choose_enabled);
    return QFileDialog::eventFilter(watched, event);
}

void FolderDialog::accept()
{
    const QString folder = typed_folder();
    const QFileInfo info(folder);
    if (info.exists() && !info.isDir()) {
        inform(this, tr("%1 is a file, not a folder.").arg(QDir::toNativeSeparators(folder)));
        return;
    }
    if (!info.exists() && !QDir().mkpath(folder)) {
        inform(this, tr("The folder %1 could not be made.").arg(QDir::toNativeSeparators(folder)));
        return;
    }
    chosen_folder = folder;
    QDialog::accept();
}
