// The running applications from the AppKit workspace, the own process identifier and the
// operating-system version test. Values are passed on as the platform reports them; filtering,
// trimming, de-duplication and ordering are the core's.

#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>
#include <dlfcn.h>
#include <sys/sysctl.h>

#include "MacOSBackend.h"

namespace qor::macos {

namespace {

// Lossy only for a string that holds unpaired UTF-16 surrogates, which UTF-8 cannot carry.
std::optional<std::string> utf8(NSString* string) {
    if (string == nil) {
        return std::nullopt;
    }
    NSData* data = [string dataUsingEncoding:NSUTF8StringEncoding allowLossyConversion:YES];
    if (data.length == 0) {
        return std::string();
    }
    return std::string(static_cast<const char*>(data.bytes), data.length);
}

ActivationPolicy activationPolicy(NSApplicationActivationPolicy policy) {
    switch (policy) {
        case NSApplicationActivationPolicyRegular:
            return ActivationPolicy::regular;
        case NSApplicationActivationPolicyAccessory:
            return ActivationPolicy::accessory;
        case NSApplicationActivationPolicyProhibited:
            return ActivationPolicy::prohibited;
    }
    return static_cast<ActivationPolicy>(policy);
}

}  // namespace

// The workspace's list is a snapshot that AppKit refreshes only while the main run loop runs; this
// program reads it once per listing or capture, before it ever waits, so the snapshot is current.
std::vector<RunningApplication> AppKitWorkspace::runningApplications() {
    std::vector<RunningApplication> applications;
    @autoreleasepool {
        NSArray<NSRunningApplication*>* running = NSWorkspace.sharedWorkspace.runningApplications;
        applications.reserve(running.count);
        for (NSRunningApplication* application in running) {
            RunningApplication entry;
            entry.processIdentifier = application.processIdentifier;
            entry.bundleIdentifier = utf8(application.bundleIdentifier);
            entry.localizedName = utf8(application.localizedName);
            entry.isTerminated = application.terminated;
            entry.activationPolicy = activationPolicy(application.activationPolicy);
            applications.push_back(std::move(entry));
        }
    }
    return applications;
}

std::int32_t AppKitWorkspace::ownProcessIdentifier() {
    return NSProcessInfo.processInfo.processIdentifier;
}

std::optional<std::int32_t> AppKitWorkspace::parentProcessIdentifier(std::int32_t pid) {
    int name[] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid};
    struct kinfo_proc info {};
    size_t size = sizeof info;
    // A pid that no longer exists succeeds with nothing written.
    if (pid <= 0 || sysctl(name, 4, &info, &size, nullptr, 0) != 0 || size < sizeof info) {
        return std::nullopt;
    }
    return info.kp_eproc.e_ppid;
}

// The system records which application is responsible for each process: itself for an
// application, the application for the services launchd starts on its behalf (WebKit's GPU and
// media processes, XPC services). The function that reads it is private to libSystem, so it is
// looked up at run time: a system without it still runs the program, without the attribution, and
// the program imports nothing new by name.
std::optional<std::int32_t> AppKitWorkspace::responsibleProcessIdentifier(std::int32_t pid) {
    using ResponsibleFunction = pid_t (*)(pid_t);
    static const auto responsibleFor = reinterpret_cast<ResponsibleFunction>(
        dlsym(RTLD_DEFAULT, "responsibility_get_pid_responsible_for_pid"));
    if (responsibleFor == nullptr || pid <= 0) {
        return std::nullopt;
    }
    const pid_t responsible = responsibleFor(pid);
    if (responsible <= 0) {
        return std::nullopt;
    }
    return responsible;
}

bool MacOSSystemSupport::captureSupported() {
    const NSOperatingSystemVersion minimum{14, 2, 0};
    return [NSProcessInfo.processInfo isOperatingSystemAtLeastVersion:minimum];
}

}  // namespace qor::macos
