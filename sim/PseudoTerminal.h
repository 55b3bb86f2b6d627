#pragma once
// Creates the line the host talks to: a pseudo-terminal, raw unless told to
// keep the kernel's defaults for a new tty.
#include <string>

#include "core/CUniqueFd.h"

// Opens a master (non-blocking) and its slave (kept open by the caller so the
// line survives the host closing and reopening it). Returns false with a
// reason in strError.
bool OpenPseudoTerminal(CUniqueFd& master, CUniqueFd& slave, std::string& strSlavePath, bool bRaw,
                        std::string& strError);

// Points strLinkPath at strTarget, replacing whatever is there.
bool ReplaceSymlink(const std::string& strTarget, const std::string& strLinkPath, std::string& strError);
