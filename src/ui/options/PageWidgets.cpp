#include "ui/options/PageWidgets.h"

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QLocale>
#include <QSpinBox>
#include <QStyleOptionSpinBox>
#include <QTimer>
#include <QEvent>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>

#include "ui/options/TagEditor.h"

namespace sonavert {

QFont DialogFont() {
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(11);
    return font;
}

void ApplyDialogFont(QWidget* root) {
    const QFont font = DialogFont();
    root->setFont(font);
    for (QWidget* child : root->findChildren<QWidget*>()) child->setFont(font);
}

std::optional<int> ParseInteger(const QString& text) {
    const QString t = text.trimmed();
    qsizetype i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == QLatin1Char('-') || t[i] == QLatin1Char('+'))) negative = t[i++] == QLatin1Char('-');
    if (i >= t.size()) return std::nullopt;
    long long value = 0;
    for (; i < t.size(); ++i) {
        if (t[i] < QLatin1Char('0') || t[i] > QLatin1Char('9')) return std::nullopt;
        value = value * 10 + (t[i].unicode() - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) return std::nullopt;
    }
    if (negative) value = -value;
    if (value > INT_MAX || value < INT_MIN) return std::nullopt;
    return static_cast<int>(value);
}

QComboBox* NewList(QWidget* parent, int characters) {
    auto* list = new QComboBox(parent);
    list->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    list->setMinimumContentsLength(characters);
    return list;
}

void AddListItem(QComboBox* list, const QString& text, int value) { list->addItem(text, value); }

std::optional<int> ChosenValue(const QComboBox* list) {
    if (list->currentIndex() < 0) return std::nullopt;
    return list->currentData().toInt();
}

int MetricButtonWidth(const QPushButton* button) {
    QStyle* style = button->style();
    const int text = button->fontMetrics().horizontalAdvance(QString(button->text()).remove(QLatin1Char('&')));
    return text + 2 * (style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button) +
                       style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button));
}

namespace {
class SmallButtonWidth : public QObject {
public:
    explicit SmallButtonWidth(QPushButton* button) : QObject(button), button_(button) { Fit(); }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange ||
            event->type() == QEvent::Polish)
            Fit();
        return false;
    }

private:
    void Fit() { button_->setFixedWidth(std::max(button_->sizeHint().height(), MetricButtonWidth(button_))); }
    QPushButton* button_;
};
}  // namespace

void KeepSmallButtonWidth(QPushButton* button) { button->installEventFilter(new SmallButtonWidth(button)); }

namespace {
class SpinBoxWidth : public QObject {
public:
    explicit SpinBoxWidth(QAbstractSpinBox* spin) : QObject(spin), spin_(spin) { Fit(); }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Polish) Fit();
        // Once the box has dropped its size hint for the old font or style.
        if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
            QTimer::singleShot(0, this, [this] { Fit(); });
        return false;
    }

private:
    // The texts the box can show that are widest: its special value's and its range's ends'.
    QStringList WidestTexts() const {
        QStringList texts{spin_->specialValueText()};
        if (auto* integer = qobject_cast<QSpinBox*>(spin_)) {
            const QLocale locale = integer->locale();
            for (int end : {integer->minimum(), integer->maximum()}) {
                QString number = locale.toString(end);
                if (!integer->isGroupSeparatorShown()) number.remove(locale.groupSeparator());
                texts << integer->prefix() + number + integer->suffix();
            }
        } else if (auto* real = qobject_cast<QDoubleSpinBox*>(spin_)) {
            for (double end : {real->minimum(), real->maximum()})
                texts << real->prefix() + real->textFromValue(end) + real->suffix();
        }
        return texts;
    }
    void Fit() {
        int text = 0;
        for (const QString& t : WidestTexts()) text = std::max(text, spin_->fontMetrics().horizontalAdvance(t));
        // The edit field at the box's own size, against the text, the edit's margins of 2 on
        // each side and the cursor; the buttons keep their width as the box widens.
        const QSize hint = spin_->sizeHint();
        QStyleOptionSpinBox option;
        option.initFrom(spin_);
        option.rect = QRect(QPoint(0, 0), hint);
        option.frame = spin_->hasFrame();
        option.buttonSymbols = spin_->buttonSymbols();
        option.subControls = QStyle::SC_SpinBoxEditField | QStyle::SC_SpinBoxUp | QStyle::SC_SpinBoxDown;
        const QRect field = spin_->style()->subControlRect(QStyle::CC_SpinBox, &option, QStyle::SC_SpinBoxEditField, spin_);
        spin_->setMinimumWidth(hint.width() + std::max(0, text + 6 - field.width()));
    }
    QAbstractSpinBox* spin_;
};
}  // namespace

void KeepSpinBoxWidth(QAbstractSpinBox* spin) { spin->installEventFilter(new SpinBoxWidth(spin)); }

int MetricEditWidth(const QLineEdit* edit, const QString& sample) {
    QStyleOptionFrame option;
    option.initFrom(edit);
    option.lineWidth = edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit);
    const QMargins margins = edit->textMargins();
    // The cursor's width and the line edit's own horizontal margin of 2 on each side.
    const QSize text(edit->fontMetrics().horizontalAdvance(sample) + margins.left() + margins.right() + 4 + 2,
                     edit->fontMetrics().height());
    return edit->style()->sizeFromContents(QStyle::CT_LineEdit, &option, text, edit).width();
}

bool SelectValue(QComboBox* list, int value) {
    const int index = list->findData(value);
    if (index < 0) return false;
    list->setCurrentIndex(index);
    return true;
}

void ChooseEntry(QComboBox* list, int index) {
    list->setCurrentIndex(index);
    emit list->activated(index);
}

IntSpinEdit::IntSpinEdit(int minimum, int maximum, int step, QWidget* parent)
    : QWidget(parent), minimum_(minimum), maximum_(maximum), step_(step) {
    edit_ = new QLineEdit(this);
    up_ = new QToolButton(this);
    down_ = new QToolButton(this);
    up_->setArrowType(Qt::UpArrow);
    down_->setArrowType(Qt::DownArrow);
    for (QToolButton* b : {up_, down_}) {
        b->setAutoRepeat(true);
        b->setFocusPolicy(Qt::NoFocus);
    }
    auto* arrows = new QVBoxLayout;
    arrows->setContentsMargins(0, 0, 0, 0);
    arrows->setSpacing(0);
    arrows->addWidget(up_);
    arrows->addWidget(down_);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(1);
    row->addWidget(edit_);
    row->addLayout(arrows);
    FitToFont();
    setFocusProxy(edit_);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    connect(up_, &QToolButton::clicked, this, [this] { Step(+1); });
    connect(down_, &QToolButton::clicked, this, [this] { Step(-1); });
}

void IntSpinEdit::FitToFont() {
    // Digits are of one width in the usual faces; "0" stands for any of them, a sign where the
    // range has one and one more to spare.
    const qsizetype digits = std::max(QString::number(minimum_).size(), QString::number(maximum_).size());
    edit_->setFixedWidth(MetricEditWidth(edit_, QString(digits + 1, QLatin1Char('0'))));
    // The arrows share the edit's height.
    const int arrowHeight = std::max(11, (edit_->sizeHint().height() + 1) / 2);
    for (QToolButton* b : {up_, down_}) b->setFixedSize(std::max(16, edit_->fontMetrics().height()), arrowHeight);
}

void IntSpinEdit::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) FitToFont();
    QWidget::changeEvent(event);
}

void IntSpinEdit::SetValue(int value) { edit_->setText(QString::number(value)); }

void IntSpinEdit::Step(int direction) {
    // A text that is not a number steps from the nearer end of the range.
    const int current = Value().value_or(direction > 0 ? minimum_ - step_ : maximum_ + step_);
    const long long next = static_cast<long long>(current) + static_cast<long long>(direction) * step_;
    SetValue(static_cast<int>(std::clamp<long long>(next, minimum_, maximum_)));
}

bool Refuse(UiHost* host, QWidget* owner, const QString& text, QWidget* focus) {
    ShowMessage(host, owner, text, MessageIcon::Warning);
    if (focus) {
        focus->setFocus();
        if (auto* edit = qobject_cast<QLineEdit*>(focus)) edit->selectAll();
    }
    return false;
}

AmplifyGroup::AmplifyGroup(QWidget* parent) : QGroupBox(QStringLiteral("Amplification"), parent) {
    check = new QCheckBox(QStringLiteral("&Amplify / Reduce sound"), this);
    coefficient = new IntSpinEdit(10, 3000, 10, this);
    auto* label = new QLabel(QStringLiteral("&Coefficient:"), this);
    label->setBuddy(coefficient->Edit());
    auto* percent = new QLabel(QStringLiteral("%"), this);
    auto* help = new QLabel(
        QStringLiteral("< 100% - Reduce sound\n= 100% - No changes\n> 100% - Amplify sound"), this);

    auto* row = new QHBoxLayout;
    row->addSpacing(18);
    row->addWidget(label);
    row->addWidget(coefficient);
    row->addWidget(percent);
    row->addStretch();
    auto* column = new QVBoxLayout;
    column->addWidget(check);
    column->addLayout(row);
    auto* outer = new QHBoxLayout(this);
    outer->addLayout(column);
    outer->addSpacing(12);
    outer->addWidget(help);
    outer->addStretch();

    connect(check, &QCheckBox::clicked, this, [this] {
        UpdateEnabling();
        coefficient->Edit()->setFocus();
    });
}

void AmplifyGroup::UpdateEnabling() { coefficient->setEnabled(check->isChecked()); }

void AmplifyGroup::WriteControls(int enabled, int value) {
    check->setChecked(enabled != 0);
    coefficient->SetValue(value);
    UpdateEnabling();
}

bool AmplifyGroup::ReadControls(UiHost* host, int& enabled, int& value) {
    const std::optional<int> typed = coefficient->Value();
    if (!typed) return Refuse(host, this, QStringLiteral("Please enter an integer."), coefficient->Edit());
    if (check->isChecked() && (*typed < 10 || *typed > 3000))
        return Refuse(host, this, QStringLiteral("Invalid amplification coefficient. It's betwen 10 and 3000."),
                      coefficient->Edit());
    enabled = check->isChecked() ? 1 : 0;
    value = *typed;
    return true;
}

TagGroup::TagGroup(bool m4aTexts, QWidget* parent) : QGroupBox(QStringLiteral("ID3 tag"), parent) {
    radios[0] = new QRadioButton(QStringLiteral("Add &ID3 tag"), this);
    radios[1] = new QRadioButton(m4aTexts ? QStringLiteral("Trans&fer ID3 tag from source file")
                                          : QStringLiteral("T&ransfer ID3 tag from source file"),
                                 this);
    radios[2] = new QRadioButton(m4aTexts ? QStringLiteral("Non&e") : QStringLiteral("&None"), this);
    editButton = new QPushButton(m4aTexts ? QStringLiteral("E&dit ID3 tag") : QStringLiteral("Edit ID3 &tag"), this);
    buttons = new QButtonGroup(this);
    auto* layout = new QGridLayout(this);
    for (int i = 0; i < 3; ++i) {
        buttons->addButton(radios[i], i);
        layout->addWidget(radios[i], i, 0);
    }
    layout->addWidget(editButton, 0, 1, Qt::AlignLeft);
    layout->setColumnStretch(2, 1);
    connect(buttons, &QButtonGroup::idClicked, this, [this](int id) {
        UpdateEnabling();
        emit ChoiceClicked(id);
    });
    connect(editButton, &QPushButton::clicked, this, &TagGroup::EditClicked);
}

void TagGroup::SetChoice(int choice) {
    if (choice >= 0 && choice < 3) {
        radios[choice]->setChecked(true);
    } else {
        // A stored value outside 0..2 means no tags, but no radio stands for it.
        buttons->setExclusive(false);
        for (QRadioButton* r : radios) r->setChecked(false);
        buttons->setExclusive(true);
    }
    UpdateEnabling();
}

int TagGroup::Choice() const { return buttons->checkedId(); }

void TagGroup::UpdateEnabling() { editButton->setEnabled(Choice() == 0); }

void EditTagOverrides(UiHost* host, QWidget* owner, TagOverrides& tags, bool showCopyright) {
    TagEditor editor(tags, showCopyright, host, owner);
    if ((host ? *host : SystemUiHost()).RunModal(editor) == QDialog::Accepted) tags = editor.Result();
}

}  // namespace sonavert
