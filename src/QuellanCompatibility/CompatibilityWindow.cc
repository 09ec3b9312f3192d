#include "QuellanCompatibility/CompatibilityWindow.h"

#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

#include "QuellanCompatibility/Symbols.h"

namespace quellan {

namespace {

using dravik::platform::ServiceStatus;

constexpr int kPadding = 28;
constexpr int kSpacing = 20;
constexpr int kHeaderSpacing = 14;
constexpr int kTitleSpacing = 5;
constexpr int kStatusSpacing = 10;
constexpr int kStatusPadding = 8;
constexpr int kPickerWidth = 120;
constexpr int kHeaderSymbolSize = 36;  // a symbol drawn at a 30-point font
constexpr int kStatusSymbolSize = 18;

// Text styles, relative to the application's body font.
QFont scaledFont(const QFont& base, double scale, QFont::Weight weight = QFont::Normal) {
  QFont font = base;
  font.setPointSizeF(base.pointSizeF() * scale);
  font.setWeight(weight);
  return font;
}

void makeSecondary(QLabel* label) {
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, QColor(0x6e, 0x6e, 0x73));
  label->setPalette(palette);
}

QLabel* wrappingLabel(QWidget* parent, const char* name) {
  auto* label = new QLabel(parent);
  label->setObjectName(name);
  label->setWordWrap(true);
  label->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Minimum);
  return label;
}

QPushButton* button(QWidget* parent, const char* name, bool prominent) {
  auto* result = new QPushButton(parent);
  result->setObjectName(name);
  result->setProperty("prominent", prominent);
  if (prominent) {
    result->setStyleSheet(
        "QPushButton { background-color: #1f6fe5; color: white; border: 1px solid #1a5fc4;"
        " border-radius: 5px; padding: 4px 12px; }"
        "QPushButton:pressed { background-color: #1a5fc4; }"
        "QPushButton:disabled { background-color: #9dbcec; border-color: #9dbcec; }");
  }
  return result;
}

const char* languageOptions[] = {"系统 / System", "中文", "English"};
const AppLanguage languageValues[] = {AppLanguage::system, AppLanguage::simplifiedChinese,
                                      AppLanguage::english};

}  // namespace

CompatibilityWindow::CompatibilityWindow(ComponentModel& model,
                                         dravik::platform::BundleLocation& bundle,
                                         dravik::platform::Workspace& workspace,
                                         dravik::platform::ServiceManagement& serviceManagement,
                                         QWidget* parent)
    : QWidget(parent), model_(model), bundle_(bundle) {
  setWindowTitle("Quellan Compatibility");
  const QFont body = font();

  auto* page = new QVBoxLayout(this);
  page->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
  page->setSpacing(kSpacing);
  page->setAlignment(Qt::AlignTop);

  // Header.
  auto* header = new QHBoxLayout;
  header->setSpacing(kHeaderSpacing);
  symbol_ = new QLabel(this);
  symbol_->setObjectName("symbol");
  symbol_->setPixmap(symbolPixmap("moon.zzz.fill", kHeaderSymbolSize, devicePixelRatioF()));
  header->addWidget(symbol_, 0, Qt::AlignVCenter);
  auto* titles = new QVBoxLayout;
  titles->setSpacing(kTitleSpacing);
  title_ = new QLabel(this);
  title_->setObjectName("title");
  title_->setFont(scaledFont(body, 1.35, QFont::DemiBold));
  subtitle_ = new QLabel(this);
  subtitle_->setObjectName("subtitle");
  makeSecondary(subtitle_);
  titles->addWidget(title_);
  titles->addWidget(subtitle_);
  header->addLayout(titles);
  header->addStretch(1);
  languagePicker_ = new QComboBox(this);
  languagePicker_->setObjectName("languagePicker");
  languagePicker_->setAccessibleName("Language");
  languagePicker_->setFixedWidth(kPickerWidth);
  for (const char* option : languageOptions) languagePicker_->addItem(QString::fromUtf8(option));
  header->addWidget(languagePicker_, 0, Qt::AlignVCenter);
  page->addLayout(header);

  explanation_ = wrappingLabel(this, "explanation");
  explanation_->setFont(scaledFont(body, 0.95));
  page->addWidget(explanation_);

  // Status box.
  statusBox_ = new QGroupBox(this);
  statusBox_->setObjectName("statusBox");
  auto* status = new QVBoxLayout(statusBox_);
  status->setContentsMargins(kStatusPadding, kStatusPadding, kStatusPadding, kStatusPadding);
  status->setSpacing(kStatusSpacing);
  auto* statusLabel = new QHBoxLayout;
  statusIcon_ = new QLabel(statusBox_);
  statusIcon_->setObjectName("statusIcon");
  statusLine_ = wrappingLabel(statusBox_, "statusLine");
  statusLabel->addWidget(statusIcon_, 0, Qt::AlignTop);
  statusLabel->addWidget(statusLine_, 1);
  status->addLayout(statusLabel);
  message_ = wrappingLabel(statusBox_, "message");
  message_->setFont(scaledFont(body, 0.95));
  message_->setTextFormat(Qt::PlainText);
  message_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  makeSecondary(message_);
  status->addWidget(message_);
  page->addWidget(statusBox_);

  // Button row.
  buttonRow_ = new QWidget(this);
  buttonRow_->setObjectName("buttonRow");
  auto* row = new QHBoxLayout(buttonRow_);
  row->setContentsMargins(0, 0, 0, 0);
  openApplicationsButton_ = button(buttonRow_, "openApplicationsButton", false);
  installButton_ = button(buttonRow_, "installButton", true);
  openSettingsButton_ = button(buttonRow_, "openSettingsButton", true);
  refreshButton_ = button(buttonRow_, "refreshButton", false);
  removeButton_ = button(buttonRow_, "removeButton", false);
  row->addWidget(openApplicationsButton_);
  row->addWidget(installButton_);
  row->addWidget(openSettingsButton_);
  row->addWidget(refreshButton_);
  row->addStretch(1);
  row->addWidget(removeButton_);
  page->addWidget(buttonRow_);

  closingNote_ = wrappingLabel(this, "closingNote");
  closingNote_->setFont(scaledFont(body, 0.85));
  makeSecondary(closingNote_);
  page->addWidget(closingNote_);

  connect(openApplicationsButton_, &QPushButton::clicked, this,
          [&workspace] { workspace.openFolder("/Applications"); });
  connect(installButton_, &QPushButton::clicked, this, [this] { model_.install(); });
  connect(openSettingsButton_, &QPushButton::clicked, this,
          [&serviceManagement] { serviceManagement.openSystemSettingsLoginItems(); });
  connect(refreshButton_, &QPushButton::clicked, this, [this] { model_.refresh(); });
  connect(removeButton_, &QPushButton::clicked, this, [this] { model_.remove(); });
  connect(languagePicker_, &QComboBox::activated, this,
          [this](int index) { model_.setLanguage(languageValues[index]); });

  observer_ = model_.observe([this](ComponentModel::Field) { render(); });
  render();
}

CompatibilityWindow::~CompatibilityWindow() { model_.unobserve(observer_); }

void CompatibilityWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!event->spontaneous()) model_.refresh();
}

QString CompatibilityWindow::text(const std::string& chinese) const {
  return QString::fromStdString(translate(chinese, model_.language()));
}

void CompatibilityWindow::render() {
  for (int i = 0; i < 3; ++i) {
    if (languageValues[i] == model_.language()) languagePicker_->setCurrentIndex(i);
  }
  title_->setText(text("Quellan兼容组件"));
  subtitle_->setText(text("让合盖运行更可靠"));
  explanation_->setText(
      text("免费组件，由你在 macOS "
           "中授权。仅在Quellan会话期间管理系统睡眠；开盖、退出或连接超时后恢复原设置。"));

  const char* icon = model_.ready() ? "checkmark.circle.fill" : "person.badge.key";
  statusIcon_->setProperty("symbol", icon);
  statusIcon_->setPixmap(symbolPixmap(icon, kStatusSymbolSize, devicePixelRatioF()));
  const char* line = model_.ready()                             ? "兼容组件已就绪"
                     : model_.state() == ServiceStatus::enabled ? "正在连接兼容服务…"
                     : model_.state() == ServiceStatus::requiresApproval
                         ? "请在系统设置中允许Quellan兼容组件"
                         : "请先安装并授权Quellan兼容组件";
  statusLine_->setText(text(line));
  message_->setText(text(model_.message()));
  message_->setVisible(!model_.message().empty());

  // At most one action button: the first rule that applies.
  enum class Action { openApplications, install, openSettings, none };
  Action action = !isDirectlyInApplications(bundle_.bundlePath())     ? Action::openApplications
                  : !model_.installed()                               ? Action::install
                  : model_.state() == ServiceStatus::requiresApproval ? Action::openSettings
                                                                      : Action::none;
  openApplicationsButton_->setText(text("打开应用程序文件夹"));
  installButton_->setText(text("安装兼容服务"));
  openSettingsButton_->setText(text("打开系统设置"));
  refreshButton_->setText(text("刷新状态"));
  removeButton_->setText(text("恢复睡眠并移除服务"));
  openApplicationsButton_->setVisible(action == Action::openApplications);
  installButton_->setVisible(action == Action::install);
  openSettingsButton_->setVisible(action == Action::openSettings);
  removeButton_->setVisible(model_.state() == ServiceStatus::enabled);
  buttonRow_->setEnabled(!model_.busy());

  closingNote_->setText(
      text("需要主动睡眠时，请先关闭Quellan。移除组件前，请先点“恢复睡眠并移除服务”。"));
  fitHeight();
}

// The width is the page's; the height follows the content at that width.
void CompatibilityWindow::fitHeight() {
  QLayout* page = layout();
  page->activate();
  int height = page->hasHeightForWidth() ? page->totalHeightForWidth(kWidth)
                                         : page->totalSizeHint().height();
  setFixedSize(kWidth, height);
}

}  // namespace quellan
