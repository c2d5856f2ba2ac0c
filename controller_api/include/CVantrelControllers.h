// The controller collection: opens the device access library, makes one
// controller per claimed board and hands the controllers out by position.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "CVantrelController.h"
#include "InterfaceChip.h"

class CVantrelControllers {
public:
    CVantrelControllers();
    virtual ~CVantrelControllers();
    CVantrelControllers(const CVantrelControllers&) = delete;
    CVantrelControllers& operator=(const CVantrelControllers&) = delete;

    bool Open();
    // The controller at a 0-based position, or null; the collection keeps it.
    CVantrelController* GetController(int position);
    void Close();

private:
    bool m_open = false;
    std::map<std::string, std::unique_ptr<CVantrelController>> m_controllers;
    std::map<int, std::string> m_keyByPosition;
    InterfaceChip m_library;

public:
    // Number of controllers; the console reads it directly.
    int m_count;
};
