// This file contains helpers of the run-time's in-process tests: a scratch
// folder for panel files, and loading a panel from text while capturing what
// the run-time writes on standard error.
#ifndef KOVO_UI_TEST_FILES_H
#define KOVO_UI_TEST_FILES_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "userint.h"

// A folder of its own for one test, removed with everything in it afterwards.
struct ScratchFolder {
    std::filesystem::path path;
    ScratchFolder()
    {
        char name[] = "/tmp/kovo-ui-XXXXXX";
        path = mkdtemp(name);
    }
    ~ScratchFolder() { std::filesystem::remove_all(path); }
    // Writes text into the file name of this folder; returns its full path.
    std::string write(const std::string& name, const std::string& text) const
    {
        std::ofstream(path / name) << text;
        return (path / name).string();
    }
};

// The result of loading a panel file: LoadPanel's result and standard error.
struct Loaded {
    int handle;
    std::string err;
};

// Loads panel resource from text written as file name in folder, by its bare
// name from the folder as working directory, as the application does.
inline Loaded loadPanelText(const ScratchFolder& folder, const std::string& text, int resource = 1,
                            const std::string& name = "panel.uir")
{
    folder.write(name, text);
    std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(folder.path);
    testing::internal::CaptureStderr();
    int handle = LoadPanel(0, name.c_str(), resource);
    Loaded loaded{handle, testing::internal::GetCapturedStderr()};
    std::filesystem::current_path(before);
    return loaded;
}

#endif /* KOVO_UI_TEST_FILES_H */
