#pragma once

// Plugs the disassembly composer into the reporter's disassembler hook, so reports get their
// "disassembling" section.

void LinkDisAsm() noexcept;
void UnlinkDisAsm() noexcept;
