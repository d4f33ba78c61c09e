#pragma once
// The window test classes, each registered by its file; the one main runs them all.

#include <QObject>
#include <functional>
#include <memory>
#include <vector>

namespace quorvel::uitest {

// Each test class registers itself; the one main runs them all.
std::vector<std::function<std::unique_ptr<QObject>()>>& test_classes();

template <class T>
struct RegisterTestClass {
    RegisterTestClass() {
        test_classes().push_back([] { return std::unique_ptr<QObject>(new T); });
    }
};

}  // namespace quorvel::uitest
