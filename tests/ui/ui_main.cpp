// Runs every registered window test class in one application, as the program has one.

#include <QTest>

#include "shell/quorvel_application.h"
#include "ui_fixture.h"

namespace quorvel::uitest {

std::vector<std::function<std::unique_ptr<QObject>()>>& test_classes() {
    static std::vector<std::function<std::unique_ptr<QObject>()>> classes;
    return classes;
}

}  // namespace quorvel::uitest

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    quorvel::QuorvelApplication app(argc, argv);
    int failed = 0;
    for (const auto& make : quorvel::uitest::test_classes()) {
        const std::unique_ptr<QObject> tests = make();
        failed += QTest::qExec(tests.get(), argc, argv);
    }
    return failed == 0 ? 0 : 1;
}
