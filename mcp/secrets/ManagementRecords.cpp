#include "mcp/secrets/ManagementRecords.hpp"

namespace varn::mcp {

VARN_JSON_RECORD_MEMBERS(SecretCreateInput);
VARN_JSON_RECORD_MEMBERS(SecretGetInput);
VARN_JSON_RECORD_MEMBERS(SecretUpdateInput);
VARN_JSON_RECORD_MEMBERS(SecretDeleteInput);
VARN_JSON_RECORD_MEMBERS(GroupCreateInput);
VARN_JSON_RECORD_MEMBERS(GroupGetInput);
VARN_JSON_RECORD_MEMBERS(GroupUpdateInput);
VARN_JSON_RECORD_MEMBERS(GroupDeleteInput);
VARN_JSON_RECORD_MEMBERS(ProjectCreateInput);
VARN_JSON_RECORD_MEMBERS(ProjectGetInput);
VARN_JSON_RECORD_MEMBERS(ProjectUpdateInput);
VARN_JSON_RECORD_MEMBERS(ProjectDeleteInput);
VARN_JSON_RECORD_MEMBERS(SecretMetadataOutput);
VARN_JSON_RECORD_MEMBERS(DeleteOutput);
VARN_JSON_RECORD_MEMBERS(GroupOutput);
VARN_JSON_RECORD_MEMBERS(GroupListOutput);
VARN_JSON_RECORD_MEMBERS(ProjectOutput);
VARN_JSON_RECORD_MEMBERS(ProjectListOutput);

}  // namespace varn::mcp
