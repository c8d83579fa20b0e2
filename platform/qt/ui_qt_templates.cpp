// Dialogs built from the shared templates: their controls placed in dialog units, keys and buttons
// made commands the way the Win32 dialog manager makes them, each dialog's modal run, and the
// text and check state of its controls.
#include "platform/qt/ui_qt_internal.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QEventLoop>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QValidator>

namespace {

UiWnd dialog_stack[MAX_WINDOWS];
int dialog_depth;

// One byte per character: Latin-1 stays as it is, anything beyond it becomes 0x80 so that the
// bounded-text rule cuts a message there just as it does at any other non-ASCII character.
void to_bytes(const QString& s, char* buf, int size) {
    if (!buf || size <= 0) return;
    int n = 0;
    for (QChar c : s) {
        if (n >= size - 1) break;
        ushort u = c.unicode();
        if (u == 0) break;
        buf[n++] = (char)(u < 0x100 ? u : 0x80);
    }
    buf[n] = 0;
}

QtControl* find_control(QtWindow* w, int id) {
    if (!w) return nullptr;
    for (int i = 0; i < w->control_count; i++)
        if (w->controls[i].id == id) return &w->controls[i];
    return nullptr;
}

QtControl* control_of_widget(QtWindow* w, QObject* o) {
    for (; o; o = o->parent()) {
        for (int i = 0; i < w->control_count; i++)
            if (w->controls[i].widget == o) return &w->controls[i];
        if (o == w->widget) return nullptr;
    }
    return nullptr;
}

void dispatch_command(UiWnd h, int id) {
    QtWindow* w = qt_find_window(h);
    if (!w || !w->proc || w->ended || ui_qt_quitting()) return;
    w->proc(h, UI_COMMAND, id);
}

// Enter as the Win32 dialog manager takes it: a focused push button is pressed, otherwise the
// default button's id (1 when there is none) is sent. `target` has the keyboard focus.
void dispatch_enter(QtWindow* w, QObject* target) {
    QtControl* c = target ? control_of_widget(w, target) : nullptr;
    if (c && (c->kind == CTL_BUTTON || c->kind == CTL_DEFBUTTON)) {
        dispatch_command(w->handle, c->id);
        return;
    }
    dispatch_command(w->handle, w->default_id ? w->default_id : UI_IDOK);
}

// Typed text kept to what a Win32 edit of the same style accepts: digits only, upper case.
class StyleValidator : public QValidator {
  public:
    StyleValidator(int style, QObject* parent) : QValidator(parent), style_(style) {}
    State validate(QString& input, int&) const override {
        if (style_ & ST_UPPERCASE) input = input.toUpper();
        if (style_ & ST_NUMBER) {
            for (QChar c : input)
                if (c < QLatin1Char('0') || c > QLatin1Char('9')) return Invalid;
        }
        return Acceptable;
    }

  private:
    int style_;
};

class TemplateDialog : public QDialog {
  public:
    TemplateDialog(UiWnd handle, QWidget* parent) : QDialog(parent), handle_(handle) {}

    bool eventFilter(QObject* o, QEvent* e) override {
        if (e->type() != QEvent::KeyPress) return false;
        QWidget* ow = qobject_cast<QWidget*>(o);
        if (ow && ow->window() != this) return false; // a combo's pop-up list keeps its keys
        QtWindow* w = qt_find_window(handle_);
        if (!w) return false;
        QKeyEvent* k = static_cast<QKeyEvent*>(e);
        if (k->key() == Qt::Key_Escape) {
            dispatch_command(handle_, UI_IDCANCEL);
            return true;
        }
        if (k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter) {
            QtControl* c = control_of_widget(w, o);
            if (c && c->kind == CTL_EDIT && (c->style & ST_MULTILINE) &&
                (c->style & ST_WANTRETURN) && !(c->style & ST_READONLY))
                return false; // a new line
            dispatch_enter(w, o);
            return true;
        }
        return false;
    }

  protected:
    void keyPressEvent(QKeyEvent* k) override {
        QtWindow* w = qt_find_window(handle_);
        if (!w) return;
        if (k->key() == Qt::Key_Escape)
            dispatch_command(handle_, UI_IDCANCEL);
        else if (k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter)
            dispatch_enter(w, QApplication::focusWidget());
        else
            QWidget::keyPressEvent(k);
    }
    void closeEvent(QCloseEvent* e) override {
        e->ignore();
        QtWindow* w = qt_find_window(handle_);
        if (w && w->tpl && w->tpl->system_menu) dispatch_command(handle_, UI_IDCANCEL);
    }
    void reject() override {}
    void accept() override {}

  private:
    UiWnd handle_;
};

QFont template_font(const DialogTemplate* tpl) {
    QString family = qt_from_bytes(tpl->font);
    QFont f = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    if (!family.isEmpty() && QFontDatabase::hasFamily(family)) f = QFont(family);
    f.setPointSize(tpl->point_size > 0 ? tpl->point_size : 8);
    return f;
}

int mul_div(int a, int b, int c) {
    long long p = (long long)a * b;
    long long half = c / 2;
    return (int)(p >= 0 ? (p + half) / c : (p - half) / c);
}

const char* const kValueProperty = "keltupValue";

// The first line of a text: what a one-line value field shows.
QString first_line(const QString& s) {
    int end = s.indexOf(QLatin1Char('\n'));
    QString line = end < 0 ? s : s.left(end);
    if (line.endsWith(QLatin1Char('\r'))) line.chop(1);
    return line;
}

QWidget* make_control(QtWindow* w, QWidget* parent, const DialogControl& c, int avgw, int h) {
    QString text = qt_from_bytes(c.text);
    QWidget* widget = nullptr;
    switch (c.kind) {
    case CTL_GROUP: {
        // A frame whose line runs through the middle of its title, as Win32 draws one.
        QGroupBox* g = new QGroupBox(text, parent);
        g->setStyleSheet(QStringLiteral("QGroupBox { border: 1px solid palette(mid); "
                                        "margin-top: %1px; }"
                                        "QGroupBox::title { subcontrol-origin: margin; "
                                        "subcontrol-position: top left; left: %2px; "
                                        "padding: 0px 2px; }")
                             .arg(h / 2)
                             .arg(avgw));
        widget = g;
        break;
    }
    case CTL_STATIC: {
        if (qt_is_value_field(c)) {
            QLineEdit* e = new QLineEdit(parent);
            e->setReadOnly(true);
            e->setFrame(false);
            e->setStyleSheet(QStringLiteral("QLineEdit { background: transparent; }"));
            // A line edit keeps 2 pixels of margin beside its text and 1 above it; a label none.
            e->setTextMargins(-2, -1, -2, 0);
            e->setAlignment((c.style & ST_CENTER ? Qt::AlignHCenter : Qt::AlignLeft) |
                            Qt::AlignTop);
            widget = e;
            break;
        }
        QLabel* l = new QLabel(parent);
        l->setTextFormat(Qt::PlainText);
        l->setText(text);
        l->setWordWrap(true);
        l->setAlignment((c.style & ST_CENTER ? Qt::AlignHCenter : Qt::AlignLeft) | Qt::AlignTop);
        widget = l;
        break;
    }
    case CTL_PICTURE: {
        QLabel* l = new QLabel(parent);
        l->setPixmap(qt_load_picture(c.text));
        widget = l;
        break;
    }
    case CTL_EDIT:
        if (c.style & ST_MULTILINE) {
            QPlainTextEdit* e = new QPlainTextEdit(parent);
            e->setPlainText(text);
            e->setReadOnly(c.style & ST_READONLY);
            e->setTabChangesFocus(true);
            e->setVerticalScrollBarPolicy((c.style & ST_VSCROLL) ? Qt::ScrollBarAlwaysOn
                                                                 : Qt::ScrollBarAsNeeded);
            e->setLineWrapMode((c.style & ST_AUTOHSCROLL) ? QPlainTextEdit::NoWrap
                                                          : QPlainTextEdit::WidgetWidth);
            widget = e;
        } else {
            QLineEdit* e = new QLineEdit(parent);
            if (c.style & (ST_UPPERCASE | ST_NUMBER))
                e->setValidator(new StyleValidator(c.style, e));
            e->setText((c.style & ST_UPPERCASE) ? text.toUpper() : text);
            e->setReadOnly(c.style & ST_READONLY);
            e->setFrame(c.style & ST_BORDER);
            widget = e;
        }
        break;
    case CTL_COMBO: {
        QComboBox* cb = new QComboBox(parent);
        cb->setEditable(true);
        cb->setInsertPolicy(QComboBox::NoInsert);
        if (c.style & (ST_UPPERCASE | ST_NUMBER)) cb->setValidator(new StyleValidator(c.style, cb));
        cb->setEditText(text);
        widget = cb;
        break;
    }
    case CTL_CHECK: {
        QCheckBox* b = new QCheckBox(text, parent);
        UiWnd handle = w->handle;
        int id = c.id;
        QObject::connect(b, &QCheckBox::clicked, [handle, id]() { dispatch_command(handle, id); });
        widget = b;
        break;
    }
    case CTL_BUTTON:
    case CTL_DEFBUTTON:
    default: {
        QPushButton* b = new QPushButton(text, parent);
        b->setAutoDefault(false);
        b->setDefault(c.kind == CTL_DEFBUTTON);
        UiWnd handle = w->handle;
        int id = c.id;
        QObject::connect(b, &QPushButton::clicked,
                         [handle, id]() { dispatch_command(handle, id); });
        widget = b;
        break;
    }
    }
    // Inside a group box, whose style sheet would give it and its parts (a combo box's line) the
    // desktop's font, the control keeps the dialog's.
    if (parent != w->widget) {
        widget->setFont(w->widget->font());
        for (QWidget* part : widget->findChildren<QWidget*>())
            part->setFont(w->widget->font());
    }
    int x = mul_div(c.x, avgw, 4), y = mul_div(c.y, h, 8);
    int cw = mul_div(c.w, avgw, 4), ch = mul_div(c.h, h, 8);
    if (c.kind == CTL_PICTURE) {
        // A picture control takes the size of its image.
        QSize s = static_cast<QLabel*>(widget)->pixmap().size();
        cw = s.width();
        ch = s.height();
    } else if (c.kind == CTL_COMBO) {
        // The template's height includes the drop-down list; the closed box is one line high.
        ch = widget->sizeHint().height();
    }
    if (parent != w->widget) {
        x -= parent->x();
        y -= parent->y();
    }
    widget->setGeometry(x, y, cw, ch);
    return widget;
}

} // namespace

// The group box around control `i`: the last one before it in the template whose frame holds
// it whole. -1 when there is none.
int qt_enclosing_group(const DialogTemplate* tpl, int i) {
    const DialogControl& c = tpl->controls[i];
    for (int g = i - 1; g >= 0; g--) {
        const DialogControl& b = tpl->controls[g];
        if (b.kind == CTL_GROUP && c.x >= b.x && c.y >= b.y && c.x + c.w <= b.x + b.w &&
            c.y + c.h <= b.y + b.h)
            return g;
    }
    return -1;
}

void qt_raise_top_dialog() {
    for (int i = dialog_depth - 1; i >= 0; i--) {
        QtWindow* w = qt_find_window(dialog_stack[i]);
        if (w && w->widget && w->widget->isVisible()) {
            w->widget->raise();
            w->widget->activateWindow();
            return;
        }
    }
}

// --- front-end entry points ----------------------------------------------------------------------

UiWnd ui_qt_top_dialog() {
    return dialog_depth > 0 ? dialog_stack[dialog_depth - 1] : 0;
}

void ui_qt_dialog_units(const DialogTemplate* tpl, int* avg_width, int* height) {
    QFontMetrics fm(template_font(tpl));
    int width = fm.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    *avg_width = (width / 26 + 1) / 2;
    *height = fm.height();
}

// --- modal dialogs -------------------------------------------------------------------------------

int ui_dialog_run(const DialogTemplate* tpl, UiWnd owner, UiDialogProc proc) {
    if (!tpl || ui_qt_quitting()) return -1;
    QtWindow* w = qt_new_window();
    if (!w) return -1;
    UiWnd h = w->handle;
    w->tpl = tpl;
    w->proc = proc;

    // A dialog owned by the hidden main window stands on its own; one owned by another dialog
    // is kept above it and blocks it, as a Win32 owner is disabled.
    QtWindow* ow = qt_find_window(owner);
    QWidget* parent = (ow && !ow->is_main) ? ow->widget : nullptr;
    TemplateDialog* d = new TemplateDialog(h, parent);
    w->widget = d;
    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if (tpl->system_menu) flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    d->setWindowFlags(flags);
    d->setWindowModality(Qt::WindowModal);
    d->setObjectName(qt_from_bytes(tpl->name));
    d->setWindowTitle(qt_from_bytes(tpl->caption));
    d->setFont(template_font(tpl));

    int avgw = 0, ch = 0;
    ui_qt_dialog_units(tpl, &avgw, &ch);
    for (int i = 0; i < tpl->control_count && w->control_count < MAX_CONTROLS; i++) {
        const DialogControl& c = tpl->controls[i];
        // A control inside a group box is the box's child, so the box labels it.
        int g = c.kind == CTL_GROUP ? -1 : qt_enclosing_group(tpl, i);
        QWidget* parent = g >= 0 && g < w->control_count ? w->controls[g].widget : d;
        QWidget* cw = make_control(w, parent, c, avgw, ch);
        QtControl& rec = w->controls[w->control_count++];
        rec.id = c.id;
        rec.kind = c.kind;
        rec.style = c.style;
        rec.widget = cw;
        if (c.kind == CTL_DEFBUTTON && !w->default_id) w->default_id = c.id;
        qt_name_control(w, i);
    }
    if (QWidget* first = qt_first_tab_stop(w)) first->setFocus();
    for (QWidget* child : d->findChildren<QWidget*>())
        child->installEventFilter(d);
    d->setFixedSize(mul_div(tpl->w, avgw, 4), mul_div(tpl->h, ch, 8));

    // The template's place is relative to the owner's top-left corner.
    QPoint origin(0, 0);
    if (ow && ow->widget) origin = ow->widget->frameGeometry().topLeft();
    d->move(origin + QPoint(mul_div(tpl->x, avgw, 4), mul_div(tpl->y, ch, 8)));

    if (dialog_depth < MAX_WINDOWS) dialog_stack[dialog_depth++] = h;
    if (proc) proc(h, UI_INIT, 0);
    w = qt_find_window(h);
    if (w && !w->ended && !ui_qt_quitting()) {
        QEventLoop loop;
        w->loop = &loop;
        d->show();
        qt_run_modal(&loop, &w->ended);
        w->loop = nullptr;
    }
    if (dialog_depth > 0) dialog_depth--;
    int code = w && w->ended ? w->code : 0;
    for (QtTimer& t : w->timers)
        t.id = 0;
    d->hide();
    w->handle = 0;
    w->widget = nullptr;
    delete d; // its timers and controls go with it
    return code;
}

void ui_dialog_end(UiWnd dlg, int code) {
    QtWindow* w = qt_find_window(dlg);
    if (!w || w->is_main || w->ended) return;
    w->ended = 1;
    w->code = code;
    if (w->widget) w->widget->hide();
    if (w->loop) w->loop->exit(0);
}

void ui_set_text(UiWnd dlg, int id, const char* text) {
    QtControl* c = find_control(qt_find_window(dlg), id);
    if (!c) return;
    QString s = qt_from_bytes(text);
    if (c->style & ST_UPPERCASE) s = s.toUpper();
    if (QLabel* l = qobject_cast<QLabel*>(c->widget)) {
        if (c->kind != CTL_PICTURE) l->setText(s);
    } else if (QPlainTextEdit* e = qobject_cast<QPlainTextEdit*>(c->widget)) {
        s.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        e->setPlainText(s);
    } else if (QLineEdit* e = qobject_cast<QLineEdit*>(c->widget)) {
        if (c->kind == CTL_STATIC) {
            // A value field keeps the text as set and shows its first line, as the label did.
            e->setProperty(kValueProperty, s);
            s = first_line(s);
        }
        e->setText(s);
    } else if (QComboBox* cb = qobject_cast<QComboBox*>(c->widget)) {
        cb->setEditText(s);
    } else if (QGroupBox* g = qobject_cast<QGroupBox*>(c->widget)) {
        g->setTitle(s);
    } else if (QAbstractButton* b = qobject_cast<QAbstractButton*>(c->widget)) {
        b->setText(s);
    }
}

void ui_get_text(UiWnd dlg, int id, char* buf, int size) {
    if (!buf || size <= 0) return;
    buf[0] = 0;
    QtControl* c = find_control(qt_find_window(dlg), id);
    if (!c) return;
    QString s;
    if (QLabel* l = qobject_cast<QLabel*>(c->widget)) {
        s = l->text();
    } else if (QPlainTextEdit* e = qobject_cast<QPlainTextEdit*>(c->widget)) {
        // Lines end in CR LF, as a Win32 multi-line edit gives them.
        s = e->toPlainText();
        s.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
    } else if (QLineEdit* e = qobject_cast<QLineEdit*>(c->widget)) {
        s = c->kind == CTL_STATIC ? e->property(kValueProperty).toString() : e->text();
    } else if (QComboBox* cb = qobject_cast<QComboBox*>(c->widget)) {
        s = cb->currentText();
    } else if (QGroupBox* g = qobject_cast<QGroupBox*>(c->widget)) {
        s = g->title();
    } else if (QAbstractButton* b = qobject_cast<QAbstractButton*>(c->widget)) {
        s = b->text();
    }
    to_bytes(s, buf, size);
}

void ui_set_check(UiWnd dlg, int id, int state) {
    QtControl* c = find_control(qt_find_window(dlg), id);
    QCheckBox* b = c ? qobject_cast<QCheckBox*>(c->widget) : nullptr;
    if (!b) return;
    if (state == 0 || state == 1) {
        b->setTristate(false);
        b->setCheckState(state ? Qt::Checked : Qt::Unchecked);
    } else {
        // Any other value is the indeterminate state.
        b->setTristate(true);
        b->setCheckState(Qt::PartiallyChecked);
    }
}

int ui_get_check(UiWnd dlg, int id) {
    QtControl* c = find_control(qt_find_window(dlg), id);
    QCheckBox* b = c ? qobject_cast<QCheckBox*>(c->widget) : nullptr;
    if (!b) return 0;
    switch (b->checkState()) {
    case Qt::Checked:
        return 1;
    case Qt::PartiallyChecked:
        return 2;
    default:
        return 0;
    }
}
