// The boundary between Python and C++: no C++ exception crosses it. Every function
// that Python calls runs its body through guarded(), which turns an internal fault
// into the internal-fault exception and any other escaping exception into one too.
#pragma once

#include <new>

#ifdef __GLIBCXX__
#include <cxxabi.h>
#endif

#include "src/errors.h"

namespace vistrel::py {

// `on_error` is what the entry point returns to Python after setting the exception
// (nullptr for object results, -1 for int results).
template <class Body, class R = decltype(std::declval<Body>()())>
R guarded(Body&& body, R on_error) {
    try {
        return body();
#ifdef __GLIBCXX__
    } catch (abi::__forced_unwind&) {
        throw;  // a daemon thread ended by the finalising interpreter: swallowing it aborts
#endif
    } catch (const PythonErrorSet&) {
        // already set
    } catch (const InternalFault& fault) {
        raise_internal_fault(fault.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_internal_fault(e.what());
    } catch (...) {
        raise_internal_fault("unknown C++ exception");
    }
    return on_error;
}

}  // namespace vistrel::py
