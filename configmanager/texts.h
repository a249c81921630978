// The texts the configuration program shows or prints, each once, shared by the dialog and the
// command line so that both refuse the same input in the same words.
#pragma once

#include <string_view>

namespace vorlane::ostmere {

inline constexpr std::string_view kProgramTitle = "Ostmere";

// The section of the general settings; every other section is a user/group entry.
inline constexpr std::string_view kGeneralSection = "GeneralInfo";
inline constexpr std::string_view kProtocolKey = "Protocol";
inline constexpr std::string_view kPortKey = "Port";
inline constexpr std::string_view kRangeKey = "Range";
inline constexpr std::string_view kUserNameKey = "UserName";
inline constexpr std::string_view kPasswordKey = "Password";

// The protocol drop-down's items, by index.
inline constexpr std::string_view kProtocolNames[] = {"Telnet", "SSH"};

inline constexpr std::string_view kBadPort = "You must choose a valid port number!";
inline constexpr std::string_view kNoType = "You must supply an user/group type!";
inline constexpr std::string_view kNoUserName = "You must supply an user name!";
inline constexpr std::string_view kNoPassword = "You must supply a user/group password!";
inline constexpr std::string_view kBadRange =
    "Wrong IP Range!\nFormat: \"a.b.c.d\" or \"a.b.c.d-x.y.z.v\", where 0 <= a, b, c, d, x, y, z <= 255";
inline constexpr std::string_view kDiscardQuestion =
    "You modified some data and you did not save them! \nAre you sure you want to loose the modifications?";

// Refusals of input that the agent could not use although its form looks right.
inline constexpr std::string_view kReservedType =
    "The user/group type GeneralInfo holds the general settings and cannot be a user/group!";
inline constexpr std::string_view kLongUserName = "The agent reads at most 34 characters of an user name!";
inline constexpr std::string_view kLongPassword = "A user/group password has at most 16 characters!";
inline constexpr std::string_view kLongType = "An user/group type has at most 255 characters!";
inline constexpr std::string_view kUnstorableType =
    "The user/group type cannot begin or end with a blank, nor hold a \"]\" or a line break!";

// The file chooser.
inline constexpr std::string_view kChooserTitle = "Select the INI file...";
// Files of any letter case: the agent's own file is AgentConfig.INI.
inline constexpr std::string_view kChooserFilters = "INI Files (*.ini *.INI *.Ini);;All Files (*)";

// The dialog's frames, labels and buttons.
inline constexpr std::string_view kFileLabel = "File:";
inline constexpr std::string_view kBrowseButton = "[...]";
inline constexpr std::string_view kGeneralFrame = "General info";
inline constexpr std::string_view kProtocolLabel = "Protocol:";
inline constexpr std::string_view kPortLabel = "Port:";
inline constexpr std::string_view kUsersFrame = "Users/groups from the agent config INI file";
inline constexpr std::string_view kTypeLabel = "User/group type:";
inline constexpr std::string_view kRangeLabel = "IP Range:";
inline constexpr std::string_view kRangeHint = "Like: 192.168.100.1-192.168.100.25";
inline constexpr std::string_view kUserNameLabel = "User name (login):";
inline constexpr std::string_view kPasswordLabel = "Password:";
inline constexpr std::string_view kAddNewButton = "&Add new";
inline constexpr std::string_view kOkButton = "OK";
inline constexpr std::string_view kDeleteButton = "&Delete Section";
inline constexpr std::string_view kCancelButton = "Cancel";

// Longest texts the user fields take.
inline constexpr int kMaxTypeLength = 255;
inline constexpr int kMaxRangeLength = 35;
inline constexpr int kMaxUserNameLength = 255;
inline constexpr int kMaxPasswordLength = 16;
// The agent reads user names (and ranges) into 35-byte buffers, so a longer name never logs in.
inline constexpr int kAgentUserFieldLength = 34;

}  // namespace vorlane::ostmere
