// Runs every registered window test class in one application, as the program has one.
// "ui_tests Class [QtTest options]" runs one class only.

#include <QTest>
#include <cstdio>

#include "ui/quorvel_application.h"
#include "ui_test_classes.h"

namespace quorvel::uitest {

std::vector<std::function<std::unique_ptr<QObject>()>>& test_classes() {
    static std::vector<std::function<std::unique_ptr<QObject>()>> classes;
    return classes;
}

}  // namespace quorvel::uitest

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    quorvel::QuorvelApplication app(argc, argv);
    QStringList args = app.arguments();
    QString only;
    if (args.size() > 1 && !args[1].startsWith('-') && !args[1].contains(':')) {
        only = args.takeAt(1);
    }
    int failed = 0;
    int ran = 0;
    for (const auto& make : quorvel::uitest::test_classes()) {
        const std::unique_ptr<QObject> tests = make();
        if (!only.isEmpty() && only != tests->metaObject()->className() &&
            !QString(tests->metaObject()->className()).endsWith("::" + only))
            continue;
        ++ran;
        failed += QTest::qExec(tests.get(), args);
    }
    if (ran == 0) {
        std::fprintf(stderr, "no test class %s\n", qPrintable(only));
        return 1;
    }
    return failed == 0 ? 0 : 1;
}
