// What a screen reader finds of a dialog's controls: each named after its label or its group box,
// labels given their buddies, and where the focus starts when read-only value fields come first.
#include "platform/qt/ui_qt_internal.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QWidget>

namespace {

// A label's words as the name of what it labels: mnemonic '&'s taken out ("&&" is one '&'),
// line breaks made spaces, and a trailing colon dropped.
QString label_name(const char* text) {
    QString s;
    for (const char* p = text ? text : ""; *p; p++) {
        if (*p == '&') {
            if (p[1] != '&') continue;
            p++;
        }
        s += QChar((uchar)(*p == '\r' || *p == '\n' ? ' ' : *p));
    }
    s = s.simplified();
    if (s.endsWith(QLatin1Char(':'))) s.chop(1);
    return s.trimmed();
}

const char* described_name(const DialogTemplate* tpl, const DialogControl& c) {
    for (int i = 0; i < kControlDescriptionCount; i++) {
        const ControlDescription& d = kControlDescriptions[i];
        if (d.dialog == tpl && d.id == c.id && d.kind == c.kind) return d.name;
    }
    return nullptr;
}

} // namespace

// A static with an id and no words in the template shows a value the program sets (a nickname,
// a time). It is built as a read-only field that looks like the label it stands for, so that Tab
// reaches it and a screen reader reads it under its own name.
int qt_is_value_field(const DialogControl& c) {
    return c.kind == CTL_STATIC && c.id != ID_NONE && (!c.text || !c.text[0]);
}

// Names control `i` for screen readers the way the Win32 dialog manager names a control: after
// the static text just before it in the template, which becomes its label (buddy), else after the
// group box around it, which is its parent widget and so its label too. A name written beside the
// templates comes first; controls with words of their own (buttons, check boxes, labels) keep them.
void qt_name_control(QtWindow* w, int i) {
    const DialogTemplate* tpl = w->tpl;
    const DialogControl& c = tpl->controls[i];
    QWidget* widget = w->controls[i].widget;
    QString name;
    if (const char* d = described_name(tpl, c)) name = label_name(d);
    int named_by_text =
        c.kind == CTL_EDIT || c.kind == CTL_COMBO || c.kind == CTL_PICTURE || qt_is_value_field(c);
    if (!named_by_text && name.isEmpty()) return;
    const DialogControl* before = i > 0 ? &tpl->controls[i - 1] : nullptr;
    if (before && before->kind == CTL_STATIC && before->text && before->text[0]) {
        if (QLabel* l = qobject_cast<QLabel*>(w->controls[i - 1].widget)) l->setBuddy(widget);
        if (name.isEmpty()) name = label_name(before->text);
    }
    int g = qt_enclosing_group(tpl, i);
    if (name.isEmpty() && g >= 0) name = label_name(tpl->controls[g].text);
    if (name.isEmpty()) return;
    widget->setAccessibleName(name);
    // An editable combo box's line is a focusable object of its own.
    if (QComboBox* cb = qobject_cast<QComboBox*>(widget))
        if (cb->lineEdit()) cb->lineEdit()->setAccessibleName(name);
}

// Where the focus starts when value fields come first: the first control that is a tab stop for
// the Win32 dialog manager, which sees those fields as labels. The fields stay in the Tab order's
// circle, before it. nullptr where Qt's own choice is that control already.
QWidget* qt_first_tab_stop(QtWindow* w) {
    int fields_before = 0;
    for (int i = 0; i < w->control_count; i++) {
        int k = w->controls[i].kind;
        if (k == CTL_STATIC && qobject_cast<QLineEdit*>(w->controls[i].widget)) fields_before = 1;
        if (k == CTL_EDIT || k == CTL_COMBO || k == CTL_BUTTON || k == CTL_DEFBUTTON ||
            k == CTL_CHECK)
            return fields_before ? w->controls[i].widget : nullptr;
    }
    return nullptr;
}
