// Renders the companion window in each of the model's situations and in both languages to
// PNG files: QuellanCompatibilityScreenshots <output folder>.

#include <QApplication>
#include <QDir>
#include <QFont>
#include <QFontDatabase>
#include <QPixmap>
#include <cstdio>
#include <string>

#include "QuellanCompatibility/fakes/CompanionStage.h"

namespace {

using quellan::AppLanguage;
using quellan::fakes::CompanionStage;
using quellan::fakes::Situation;

// A font with every Chinese glyph, so no text renders as empty boxes.
void useCjkFont() {
  const QStringList families = QFontDatabase::families();
  for (const char* family : {"WenQuanYi Micro Hei", "Noto Sans CJK SC"}) {
    if (families.contains(family)) {
      QFont font(family);
      font.setPointSize(11);
      QApplication::setFont(font);
      return;
    }
  }
  std::fprintf(stderr, "screenshots: no CJK font found; Chinese texts may not render\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
    return 2;
  }
  QDir out(QString::fromLocal8Bit(argv[1]));
  if (!out.mkpath(".")) {
    std::fprintf(stderr, "screenshots: cannot create %s\n", argv[1]);
    return 1;
  }
  useCjkFont();

  struct Shot {
    Situation situation;
    bool inApplications;
  };
  const Shot shots[] = {
      {Situation::notInstalled, true},   {Situation::awaitingApproval, true},
      {Situation::connecting, true},     {Situation::ready, true},
      {Situation::restorePending, true}, {Situation::ready, false},
  };
  const struct {
    AppLanguage language;
    const char* name;
  } languages[] = {{AppLanguage::simplifiedChinese, "zh"}, {AppLanguage::english, "en"}};

  int failures = 0;
  for (const auto& shot : shots) {
    for (const auto& language : languages) {
      CompanionStage stage(shot.situation, shot.inApplications, language.language);
      QApplication::processEvents();
      std::string name = std::string(quellan::fakes::situationName(shot.situation)) +
                         (shot.inApplications ? "" : "-outside-applications") + "-" +
                         language.name + ".png";
      QString path = out.filePath(QString::fromStdString(name));
      if (!stage.window->grab().save(path)) {
        std::fprintf(stderr, "screenshots: cannot write %s\n", qPrintable(path));
        ++failures;
        continue;
      }
      std::printf("%s\n", qPrintable(path));
    }
  }
  return failures == 0 ? 0 : 1;
}
