#include "ui/kvr_data_exchange.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QLineEdit>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace {

// Sets the text only when it differs (no change report otherwise).
void set_text(QLineEdit* edit, const QString& text) {
    if (edit->text() != text)
        edit->setText(text);
}

// Checks the button with index `index` of an exclusive group, or none.
void set_radio(QButtonGroup* group, int index) {
    QAbstractButton* target = group->button(index);
    if (target) {
        if (!target->isChecked())
            target->setChecked(true);
        return;
    }
    // An exclusive group does not let its checked button go; lift the rule
    // for the moment it takes to clear it.
    QAbstractButton* checked = group->checkedButton();
    if (!checked)
        return;
    group->setExclusive(false);
    checked->setChecked(false);
    group->setExclusive(true);
}

}  // namespace

QString kvr_range_prompt(int lo, int hi) {
    return QStringLiteral("Please enter an integer between %1 and %2.").arg(lo).arg(hi);
}

bool kvr_parse_int(const QString& text, int& value) {
    const QByteArray bytes = text.toUtf8();
    const char* p = bytes.constData();
    while (*p == ' ' || *p == '\t')
        ++p;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(p, &end, 10);
    if (end == p || errno == ERANGE || v < INT_MIN || v > INT_MAX)
        return false;
    while (*end == ' ' || *end == '\t')
        ++end;
    if (*end != '\0')
        return false;
    value = static_cast<int>(v);
    return true;
}

bool kvr_scan_hex(const QString& text, int& value) {
    const QByteArray bytes = text.toUtf8();
    unsigned int v = 0;
    if (std::sscanf(bytes.constData(), "%x", &v) != 1)
        return false;
    value = static_cast<int>(v);
    return true;
}

kvr_data_exchange::kvr_data_exchange(bool saving, kvr_prompt_fn prompt)
    : saving_(saving), prompt_(std::move(prompt)) {}

void kvr_data_exchange::fail(QWidget* control, const QString& prompt) {
    failed_ = true;
    failed_control_ = control;
    if (!prompt_)
        return;
    prompt_(prompt);
    // Back at the offending entry, ready to be typed over.
    if (control) {
        control->setFocus(Qt::OtherFocusReason);
        if (auto* edit = qobject_cast<QLineEdit*>(control))
            edit->selectAll();
    }
}

void kvr_data_exchange::text_int(QLineEdit* edit, int& value) {
    if (failed_)
        return;
    if (!saving_) {
        set_text(edit, QString::number(value));
        return;
    }
    int v = 0;
    if (!kvr_parse_int(edit->text(), v)) {
        fail(edit, QString::fromUtf8(kvr_txt_prompt_int));
        return;
    }
    value = v;
}

void kvr_data_exchange::range_int(QLineEdit* edit, int value, int lo, int hi) {
    if (failed_ || !saving_)
        return;
    if (value < lo || value > hi)
        fail(edit, kvr_range_prompt(lo, hi));
}

void kvr_data_exchange::text(QLineEdit* edit, QString& value) {
    if (failed_)
        return;
    if (saving_)
        value = edit->text();
    else
        set_text(edit, value);
}

void kvr_data_exchange::check(QAbstractButton* box, int& value) {
    if (failed_)
        return;
    if (saving_)
        value = box->isChecked() ? 1 : 0;
    else
        box->setChecked(value != 0);
}

void kvr_data_exchange::radio(QButtonGroup* group, int& value) {
    if (failed_)
        return;
    if (saving_)
        value = group->checkedId();
    else
        set_radio(group, value);
}
