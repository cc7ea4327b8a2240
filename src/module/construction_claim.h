#pragma once

#include <algorithm>
#include <vector>

#include <Python.h>

namespace vorn {

// Marks a logger instance whose __init__ is under way. Building a scope
// writes its opening output with the interpreter lock released, so a second
// __init__ of the same instance (from another thread, or from code that
// runs while the first looks up the default invoker) could otherwise start
// before the first has registered its wrapper: both would build a scope and
// register it, and the instance would be registered twice. The first claim
// wins; an __init__ that finds the instance claimed does nothing, as a
// second __init__ of a finished instance does.
//
// The claimed instances are kept in one list that only code holding the
// interpreter lock touches: claim and release both run with it held. The
// list holds no more entries than there are __init__ calls under way at
// once, and its storage is kept, so a claim allocates only when more run at
// once than ever before.
class ConstructionClaim {
public:
    explicit ConstructionClaim(PyObject* instance) : instance_(instance) {
        std::vector<PyObject*>& claimed = claimed_instances();
        if (std::find(claimed.begin(), claimed.end(), instance) != claimed.end()) return;
        claimed.push_back(instance);
        won_ = true;
    }

    ~ConstructionClaim() {
        if (!won_) return;
        std::vector<PyObject*>& claimed = claimed_instances();
        claimed.erase(std::find(claimed.begin(), claimed.end(), instance_));
    }

    ConstructionClaim(const ConstructionClaim&) = delete;
    ConstructionClaim& operator=(const ConstructionClaim&) = delete;

    // Whether this caller builds the instance; false when another __init__
    // of it is under way.
    bool won() const noexcept { return won_; }

private:
    static std::vector<PyObject*>& claimed_instances() {
        static std::vector<PyObject*> claimed;
        return claimed;
    }

    PyObject* instance_;
    bool won_ = false;
};

}  // namespace vorn
