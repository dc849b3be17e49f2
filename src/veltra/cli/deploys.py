"""``veltra deploys list``: the deploys the service has recorded."""

from __future__ import annotations

from veltra.cli import output
from veltra.cli.actions import local_service
from veltra.cli.errors import ExitCode

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse

#: The keys of each deploy in ``deploys list --json``, in this order.
DEPLOY_KEYS = (
    "application_uuid",
    "application_name",
    "env_name",
    "deploy_number",
    "redeploy",
    "deploy_uuid",
    "deploy_type",
    "lakehouse_type",
    "from_env",
    "archive_size",
    "deployed_by",
    "deployed_at",
)


def list_deploys(args: argparse.Namespace) -> int:
    from veltra.cloud.services.local import list_deploys

    deploys = [
        {key: item.get(key) for key in DEPLOY_KEYS}
        for item in list_deploys(
            local_service(args),
            env_name=args.env_name,
            application_uuid=args.application_uuid,
            application_name=args.application_name,
        )
    ]
    if args.json:
        output.json_document({"deploys": deploys})
        return ExitCode.OK
    output.table(
        ("APPLICATION", "ENVIRONMENT", "DEPLOY", "KIND", "DEPLOYED AT (UTC)", "BY"),
        (
            (
                item["application_name"],
                item["env_name"],
                item["deploy_number"],
                "redeploy" if item["redeploy"] else "first deploy",
                str(item["deployed_at"]).replace("T", " ").removesuffix("+00:00"),
                item["deployed_by"],
            )
            for item in deploys
        ),
        empty="No deploys.",
    )
    return ExitCode.OK
