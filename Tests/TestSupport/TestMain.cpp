#include "TestRegistry.h"

#include <QApplication>
#include <QtTest>

#include <cstdio>
#include <cstring>
#include <memory>

namespace Vondra::Testing {

std::vector<RegisteredTest>& registeredTests()
{
    static std::vector<RegisteredTest> tests;
    return tests;
}

} // namespace Vondra::Testing

// Usage: <suite> [TestClass] [QtTest options...]. Without a class name every
// registered class runs in turn. "<suite> --list-classes" names the registered
// classes, one a line, which is how CTest learns them.
int main(int argc, char* argv[])
{
    if (argc == 2 && std::strcmp(argv[1], "--list-classes") == 0) {
        for (const auto& test : Vondra::Testing::registeredTests())
            std::printf("%s\n", test.name);
        return 0;
    }
    QApplication app(argc, argv);
    QTEST_SET_MAIN_SOURCE_PATH

    const char* only = nullptr;
    std::vector<char*> testArgs { argv[0] };
    for (int i = 1; i < argc; ++i) {
        if (i == 1 && argv[i][0] != '-')
            only = argv[i];
        else
            testArgs.push_back(argv[i]);
    }

    int failures = 0;
    bool found = false;
    for (const auto& test : Vondra::Testing::registeredTests()) {
        if (only && std::strcmp(only, test.name) != 0)
            continue;
        found = true;
        std::unique_ptr<QObject> object(test.create());
        failures += QTest::qExec(object.get(), int(testArgs.size()), testArgs.data());
    }
    if (!found) {
        qWarning("No test class named %s", only ? only : "(any)");
        return 2;
    }
    return failures == 0 ? 0 : 1;
}
