#pragma once

#include <QWidget>

class ResultsProxy;

namespace Ui {
class ResultsBar;
}

// The line above the results grid that chooses what it shows and in what
// order: sort, kind (once a video is among the results), a smallest size, a
// range of days, a search of names and folders, and grouping by folder. The
// choices offered follow the results: the days span the photos' dates, and
// grouping is offered once a photo's folder is known.
class ResultsBar : public QWidget
{
    Q_OBJECT

public:
    explicit ResultsBar(QWidget *parent = nullptr);
    ~ResultsBar() override;

    // The results the choices apply to.
    void set_results(ResultsProxy *results);
    // Back to showing everything in the order found, for a new scan.
    void reset();

signals:
    void grouped_changed(bool grouped);

private:
    void apply_order(int choice);
    void apply_filter();
    void follow_results();
    // The smallest size a photo shown may have, for the size choice.
    static qint64 min_bytes_of(int choice);

    Ui::ResultsBar *ui = nullptr;
    ResultsProxy *results = nullptr;
    bool following = false; // the day fields are being set to the results' days, not by the user
};
