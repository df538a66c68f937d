################################################################################
#
# app-kelvane
#
################################################################################

APP_KELVANE_VERSION = 1.1.0.0
APP_KELVANE_TARBALL = $(call qstrip,$(BR2_PACKAGE_APP_KELVANE_TARBALL))
ifeq ($(APP_KELVANE_TARBALL),)
# The source tree around this BR2_EXTERNAL tree, without its build output.
APP_KELVANE_SITE = $(realpath $(BR2_EXTERNAL_KELVANE_PATH)/..)
APP_KELVANE_SITE_METHOD = local
APP_KELVANE_OVERRIDE_SRCDIR_RSYNC_EXCLUSIONS = --exclude=/build/
else
APP_KELVANE_SITE = $(patsubst %/,%,$(dir $(APP_KELVANE_TARBALL)))
APP_KELVANE_SOURCE = $(notdir $(APP_KELVANE_TARBALL))
endif

$(eval $(cmake-package))
