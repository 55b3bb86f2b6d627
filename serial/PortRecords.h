#pragma once
// The pure steps of port enumeration, shared by every platform's source:
// building and completing PortInfo records.
#include "serial/PortEnumeration.h"

// Fills in texts a source left empty: displayName from comName, and
// deviceText from displayName without its trailing " (COMn)".
void CompletePortTexts(PortInfoList& ports);
