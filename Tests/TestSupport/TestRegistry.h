#pragma once

#include <QObject>

#include <functional>
#include <vector>

namespace Vondra::Testing {

// Test classes of one component register themselves here, so the component's
// single test executable can run them all, or one by name (CTest runs one
// class per test so they spread over the cores).
struct RegisteredTest
{
    const char* name;
    std::function<QObject*()> create;
};

std::vector<RegisteredTest>& registeredTests();

template <typename T> struct TestRegistration
{
    explicit TestRegistration(const char* name)
    {
        registeredTests().push_back({ name, [] { return new T; } });
    }
};

} // namespace Vondra::Testing

// Put once at the end of a test source, after the class definition.
#define TAVLO_TEST(Class) static const Vondra::Testing::TestRegistration<Class> tavloTestRegistration##Class(#Class);
