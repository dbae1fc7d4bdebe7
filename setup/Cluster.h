#pragma once
// Cluster awareness: whether this machine is a cluster node (a registry key), and the name of
// the virtual server its mailboxes are homed on (a directory lookup, which raises
// PlatformError when the query fails).

namespace drossgate::setup {

class InstallForm;

// True when HKEY_LOCAL_MACHINE\Cluster can be opened; false on any error.
bool IsClusterNode();
// Sets the window's ClusterName from the current user's home server, upper case.
void GetClusterName(InstallForm& form);

}  // namespace drossgate::setup
