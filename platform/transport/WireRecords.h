// Conversion of the records to and from their wire messages, and the limits a server applies to
// what it accepts. Strings cross as UTF-8 (unpaired surrogates become U+FFFD); a null BSTR crosses
// as an absent field, so that null and empty stay apart.
#pragma once

#include <cstddef>

#include "interfaces/QNResourceAgentRecords.h"
#include "interfaces/QNResourceObserver.pb.h"

namespace transport {

// Largest message a server takes in, and longest string inside one, in bytes.
inline constexpr std::size_t kMaxMessageBytes = 64 * 1024;
inline constexpr std::size_t kMaxStringBytes = 4096;

void ToWire(const tagQNResourceInformation& record, qn::ResourceInformation& wire);
void ToWire(const tagQNProcessResourceEmergencyEvent& record, qn::ProcessEvent& wire);
void ToWire(const tagQNProcessResourceAlert& record, qn::ProcessEvent& wire);
void ToWire(const tagQNProcessServerEmergencyEvent& record, qn::ProcessEvent& wire);
void ToWire(const tagQNSystemResourceInformation& record, qn::SystemResourceInformation& wire);
void ToWire(const tagQNSystemResourceEmergencyEvent& record, qn::SystemEvent& wire);
void ToWire(const tagQNSystemResourceAlert& record, qn::SystemEvent& wire);
void ToWire(const tagQNSystemServerEmergencyEvent& record, qn::SystemEvent& wire);

// Fill a record whose strings are new BSTRs owned by the caller (FreeStrings releases them).
void FromWire(const qn::ResourceInformation& wire, tagQNResourceInformation& record);
void FromWire(const qn::ProcessEvent& wire, tagQNProcessResourceEmergencyEvent& record);
void FromWire(const qn::ProcessEvent& wire, tagQNProcessResourceAlert& record);
void FromWire(const qn::ProcessEvent& wire, tagQNProcessServerEmergencyEvent& record);
void FromWire(const qn::SystemResourceInformation& wire, tagQNSystemResourceInformation& record);
void FromWire(const qn::SystemEvent& wire, tagQNSystemResourceEmergencyEvent& record);
void FromWire(const qn::SystemEvent& wire, tagQNSystemResourceAlert& record);
void FromWire(const qn::SystemEvent& wire, tagQNSystemServerEmergencyEvent& record);

void ToWire(const tagQNProcessCeilings& record, qn::ProcessCeilings& wire);
void FromWire(const qn::ProcessCeilings& wire, tagQNProcessCeilings& record);
void ToWire(const tagQNMachinePressure& record, qn::MachinePressure& wire);
void FromWire(const qn::MachinePressure& wire, tagQNMachinePressure& record);
void ToWire(const tagQNMachineOomKills& record, qn::MachineOomKills& wire);
void FromWire(const qn::MachineOomKills& wire, tagQNMachineOomKills& record);
void FreeStrings(tagQNMachineOomKills& record);

void FreeStrings(tagQNResourceInformation& record);
void FreeStrings(tagQNProcessResourceEmergencyEvent& record);
void FreeStrings(tagQNProcessResourceAlert& record);
void FreeStrings(tagQNProcessServerEmergencyEvent& record);
void FreeStrings(tagQNSystemResourceInformation& record);
void FreeStrings(tagQNSystemResourceEmergencyEvent& record);
void FreeStrings(tagQNSystemResourceAlert& record);
void FreeStrings(tagQNSystemServerEmergencyEvent& record);

// Why a server refuses a message, or null when it takes it.
const char* RefusalOf(const qn::ResourceInformation& wire);
const char* RefusalOf(const qn::ProcessEvent& wire);
const char* RefusalOf(const qn::SystemResourceInformation& wire);
const char* RefusalOf(const qn::SystemEvent& wire);

}  // namespace transport
