#include "resultsbar.h"
#include "ui_resultsbar.h"

#include "resultsproxy.h"

ResultsBar::ResultsBar(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::ResultsBar)
{
    ui->setupUi(this);
    connect(ui->sortBox, &QComboBox::currentIndexChanged, this, &ResultsBar::apply_order);
    connect(ui->kindBox, &QComboBox::currentIndexChanged, this, &ResultsBar::apply_filter);
    connect(ui->sizeBox, &QComboBox::currentIndexChanged, this, &ResultsBar::apply_filter);
    connect(ui->fromDate, &QDateEdit::dateChanged, this, &ResultsBar::apply_filter);
    connect(ui->untilDate, &QDateEdit::dateChanged, this, &ResultsBar::apply_filter);
    connect(ui->searchField, &QLineEdit::textChanged, this, [this](const QString &text) {
        if (results)
            results->set_search(text);
    });
    connect(ui->groupBox, &QCheckBox::toggled, this, [this](bool on) {
        emit grouped_changed(on);
        if (results)
            results->set_grouped(on);
    });
    reset();
}

ResultsBar::~ResultsBar()
{
    delete ui;
}

void ResultsBar::set_results(ResultsProxy *proxy)
{
    results = proxy;
    connect(results, &ResultsProxy::choices_changed, this, &ResultsBar::follow_results);
    follow_results();
}

void ResultsBar::reset()
{
    following = true;
    ui->sortBox->setCurrentIndex(0);
    ui->kindBox->setCurrentIndex(0);
    ui->sizeBox->setCurrentIndex(0);
    ui->searchField->clear();
    ui->groupBox->setChecked(false);
    ui->fromDate->setDate(ui->fromDate->minimumDate());
    ui->untilDate->setDate(ui->untilDate->maximumDate());
    following = false;
    apply_filter();
    follow_results();
}

void ResultsBar::apply_order(int choice)
{
    static const ResultsProxy::Order orders[] = {ResultsProxy::Order::Found, ResultsProxy::Order::DateTaken,
                                                 ResultsProxy::Order::LargestFirst, ResultsProxy::Order::Name};
    if (results && choice >= 0 && choice < int(std::size(orders)))
        results->set_order(orders[choice]);
}

qint64 ResultsBar::min_bytes_of(int choice)
{
    static const qint64 sizes[] = {0, 50'000, 200'000, 1'000'000};
    return choice >= 0 && choice < int(std::size(sizes)) ? sizes[choice] : 0;
}

void ResultsBar::apply_filter()
{
    if (!results || following)
        return;
    PhotoFilter filter;
    filter.min_bytes = min_bytes_of(ui->sizeBox->currentIndex());
    static const quint8 kinds[] = {PhotoFilter::AllKinds, PhotoFilter::Photos, PhotoFilter::Videos};
    filter.kinds = kinds[qBound(0, ui->kindBox->currentIndex(), 2)];
    // A field at the end of its range is open: photos dated later than the
    // last day known so far still show as they arrive.
    if (ui->fromDate->isEnabled() && ui->fromDate->date() > ui->fromDate->minimumDate())
        filter.since = ui->fromDate->date();
    if (ui->untilDate->isEnabled() && ui->untilDate->date() < ui->untilDate->maximumDate())
        filter.until = ui->untilDate->date();
    results->set_filter(filter);
}

// The days offered span the photos' dates; a field left open stays open as they grow.
void ResultsBar::follow_results()
{
    if (!results)
        return;
    ui->kindBox->setVisible(results->has_videos() || ui->kindBox->currentIndex() != 0);
    ui->groupBox->setEnabled(results->has_folders() || ui->groupBox->isChecked());

    const QDate first = results->earliest_day();
    const QDate last = results->latest_day();
    const bool dated = first.isValid();
    const bool from_open = ui->fromDate->date() <= ui->fromDate->minimumDate();
    const bool until_open = ui->untilDate->date() >= ui->untilDate->maximumDate();
    following = true;
    ui->fromDate->setEnabled(dated);
    ui->untilDate->setEnabled(dated);
    if (dated) {
        // One day before the first is "any day", the field's special text.
        const QDate from = ui->fromDate->date();
        const QDate until = ui->untilDate->date();
        ui->fromDate->setDateRange(first.addDays(-1), last);
        ui->untilDate->setDateRange(first, last);
        ui->fromDate->setDate(from_open ? first.addDays(-1) : qBound(first.addDays(-1), from, last));
        ui->untilDate->setDate(until_open ? last : qBound(first, until, last));
    }
    following = false;
    apply_filter();
}
