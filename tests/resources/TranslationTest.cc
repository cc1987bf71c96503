// The German catalog shows the menu and the alert in German; without a
// language the English keys show.
#include <gtest/gtest.h>

#include <clocale>

#include "MonitorFixture.h"
#include "Text.h"

namespace kestrond {
namespace {

class TranslationTest : public test::MonitorFixture {
 protected:
  void SetUp() override {
    MonitorFixture::SetUp();
    ASSERT_FALSE(bindCatalogDirectory(KESTROND_LOCALE_DIR).failed());
    dir.makeInstance("home/database");
    dir.makeInstance("home/demo");
  }
  void TearDown() override {
    useLanguage(nullptr);
    MonitorFixture::TearDown();
  }
  // C.UTF-8 needs no generated locale; LANGUAGE then picks the catalog.
  // Setting the locale again makes gettext forget what it looked up before.
  void useLanguage(const char* language) {
    if (language) {
      environment.set("LANGUAGE", language);
      std::setlocale(LC_ALL, "C.UTF-8");
    } else {
      environment.unset("LANGUAGE");
      std::setlocale(LC_ALL, "C");
    }
  }
};

TEST_F(TranslationTest, GermanMenuAndAlert) {
  useLanguage("de");
  launch();
  EXPECT_EQ(desktop.title(), "K");
  desktop.openMenu();
  EXPECT_EQ(
      titles(),
      (std::vector<std::string>{
          "Standardinstanz starten", "Instanz „demo“ starten", "-", "Diagnosemeldungen öffnen",
          "Kestrond Tessaline öffnen", "Online-Dokumentation anzeigen", "-",
          "Kestrond Monitor bei der Anmeldung starten", "Kestrond Monitor beenden"}));
  desktop.answerNo();
  ASSERT_TRUE(desktop.choose("Standardinstanz starten"));
  ASSERT_EQ(desktop.questions.size(), 1u);
  EXPECT_EQ(desktop.questions[0].message, "Möchten Sie die Standardinstanz starten?");
  EXPECT_EQ(desktop.questions[0].informative,
            "Dies startet eine Kestrond-Instanz im Verzeichnis\n" + home + "/database.");
  EXPECT_EQ(desktop.questions[0].yesTitle, "Starten");
  EXPECT_EQ(desktop.questions[0].noTitle, "Abbrechen");
}

// Counted texts take the form the language uses for the number.
TEST_F(TranslationTest, CountedTextsTakeTheLanguagesForms) {
  const char* more = "and %d more";
  const char* stopped = "%d server stopped unexpectedly";
  const char* stoppedMany = "%d servers stopped unexpectedly";
  struct Case {
    const char* language;
    const char* singular;
    const char* plural;
    unsigned long count;
    const char* expected;
  };
  for (const Case& c :
       {Case{"de", more, more, 1, "und %d weiterer"}, Case{"de", more, more, 2, "und %d weitere"},
        Case{"de", stopped, stoppedMany, 1, "%d Server wurde unerwartet beendet"},
        Case{nullptr, stopped, stoppedMany, 1, stopped},
        Case{nullptr, stopped, stoppedMany, 21, stoppedMany}}) {
    SCOPED_TRACE(std::string(c.expected) + " " + std::to_string(c.count));
    useLanguage(c.language);
    EXPECT_EQ(localizedPlural(c.singular, c.plural, c.count), c.expected);
  }
}

TEST_F(TranslationTest, EnglishKeysWithoutALanguage) {
  useLanguage(nullptr);
  launch();
  desktop.openMenu();
  EXPECT_EQ(titles()[0], "Start Default Instance");
  EXPECT_EQ(desktop.toolTip(), "Halvorix Kestrond");
}

TEST_F(TranslationTest, LanguageWithoutACatalogFallsBackToEnglish) {
  useLanguage("fr");
  launch();
  desktop.openMenu();
  EXPECT_EQ(titles()[1], "Start Instance 'demo'");
}

}  // namespace
}  // namespace kestrond
