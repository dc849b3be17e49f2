"""Constants shared by the client and the service."""

#: Label placed between an application's id and the public domain in its URL.
VELTRA_ENV_SUBDOMAIN = "env"

#: Public domain under which deployed applications are served.
VELTRA_CLOUD_DOMAIN = "veltra.app"
