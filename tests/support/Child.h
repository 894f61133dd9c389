// A part of a test that runs in a child process, mostly as an ordinary user:
// root may write anywhere and open any device, so what an ordinary user meets
// is only seen after dropping to one.
#pragma once

#include <chrono>
#include <functional>
#include <string>

struct ChildResult {
    std::string Report; // what body returned
    std::string Fault;  // why the child could not do its part; empty when it did
};

// Runs body in a child process and returns what it returned. A child that is
// not done within timeout is killed; Fault then says so, as it does when no
// child could be started or the child did not end normally.
ChildResult RunInChild(const std::function<std::string()>& body, std::chrono::seconds timeout);

// In a child: becomes the user nobody (65534, no groups) when running as root
// and stays dumpable, so that its /proc entries stay its own; "" or the
// system's reason why not.
std::string DropToNobody();

constexpr unsigned NobodyUid = 65534;
