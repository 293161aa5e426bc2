#include "module/QNResourceAgentModule.h"

#include "emergency/EmergencyTexts.h"

namespace {

struct ModuleConstants {
    XQNComBSTR componentName{u"QNResourceAgent"};
    emergency::EmergencyTexts emergencyTexts;
};

ModuleConstants* g_constants = nullptr;

// Before any other initialiser of the library runs, so that static objects may log.
__attribute__((constructor(101))) void LoadModule() { g_constants = new ModuleConstants; }

__attribute__((destructor(101))) void UnloadModule()
{
    delete g_constants;
    g_constants = nullptr;
}

}  // namespace

const XQNComBSTR& XQNResourceAgentModule::ComponentName() noexcept { return g_constants->componentName; }

const emergency::EmergencyTexts& emergency::EmergencyTexts::Get() noexcept { return g_constants->emergencyTexts; }
