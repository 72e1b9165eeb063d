// Operations that the entry, init and the existence check call but that are still being built
// elsewhere. Each stops the process loudly if it is ever reached; this file goes away as soon as
// the real operations are merged.
#include <cstdio>
#include <cstdlib>

#include "helper/pendra_sandbox_helper.h"

namespace pendra {
namespace {

[[noreturn]] void notBuiltYet(const char* operation) {
    std::fprintf(stderr, "PendraSandboxHelper::%s: not built yet\n", operation);
    std::abort();
}

}  // namespace

void PendraSandboxHelper::installToDesignatedFolderIfNecessary() {
    notBuiltYet("installToDesignatedFolderIfNecessary");
}

void PendraSandboxHelper::registerLoginItem() {
    notBuiltYet("registerLoginItem");
}

void PendraSandboxHelper::disable() {
    notBuiltYet("disable");
}

}  // namespace pendra
