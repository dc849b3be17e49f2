"""A minimal application used to try out deploys."""
