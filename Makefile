# The two commands: `make run` builds and runs latmeter here; `make test`
# builds every preset and runs every test. `make dist` writes the release
# archives and the Debian packages, with SIGN_KEY=FILE signed checksums.
# Each installs what is missing.
PRESETS := native native-asan aarch64 armhf aarch64-static armhf-static
# The static builds give the archives, the dynamic ones the Debian packages.
DIST_PRESETS := aarch64-static armhf-static aarch64 armhf
RUN_PKGS := g++ cmake ninja-build
DIST_PKGS := $(RUN_PKGS) g++-aarch64-linux-gnu g++-arm-linux-gnueabihf binutils signify-openbsd
TEST_PKGS := $(DIST_PKGS) python3 qemu-user strace util-linux mount clang-format clang-tidy cppcheck \
	shellcheck git mksh busybox mandoc lintian
# The guests boot the Arm kernels of the newest Debian installer that this
# machine's archive has (a name with a ~ is the newest package whose name
# matches the pattern), with the emulator that boots them. The suite's
# packages come without their recommends, which would bring a whole
# desktop for the emulator's window.
GUEST_PKGS := qemu-system-arm device-tree-compiler '~^debian-installer-[0-9]+-netboot-arm64$$' \
	'~^debian-installer-[0-9]+-netboot-armhf$$'
# The Debian packages are installed by simulation on these architectures.
FOREIGN_ARCHS := arm64 armhf
# Not every release packages LAVA's dispatcher; without it, its jobs are skipped.
LAB_PKGS := lava-dispatcher
# Fetched from Debian's arm64 packages: the newest 6.12 kernel with 16 KiB
# pages, and a busybox with taskset for the board-lab ramdisk, through
# dpkg's multiarch, which deps-test sets up.
FETCHED := build/fetched
KERNEL_16K := $(FETCHED)/vmlinuz-arm64-16k
BUSYBOX_ARM64 := $(FETCHED)/busybox-arm64
SUDO := $(if $(filter 0,$(shell id -u)),,sudo)

# newest_package PATTERN: the newest package whose name matches, if any.
newest_package = apt-cache search --names-only $(1) | cut -d' ' -f1 | sort -V | tail -n1

# install REQUIRED,OPTIONAL,OPTIONS: installs those of the Debian packages that
# are not installed yet, in one apt-get call with OPTIONS; an OPTIONAL one only
# where this release packages it. A name ~PATTERN stands for the newest
# package whose name matches it.
define install
	@set -f; installed() { dpkg-query -W -f '$${Package} $${Status}\n' 2>/dev/null | \
		awk '/ ok installed$$/ { print $$1 }'; }; \
	absent() { for p; do case $$p in \
		\~*) installed | grep -qE -- "$${p#\~}" || echo "$$p" ;; \
		*) installed | grep -qx -- "$$p" || echo "$$p" ;; \
	esac; done; }; \
	newest() { for p; do case $$p in \
		\~*) $(call newest_package,"$${p#\~}") | grep . || \
			{ echo "no package like $${p#\~} here" >&2; return 1; } ;; \
		*) echo "$$p" ;; \
	esac; done; }; \
	packaged() { for p; do if apt-cache show $$p >/dev/null 2>&1; then echo $$p; fi; done; }; \
	missing=$$(absent $(1)); optional=$$(packaged $$(absent $(2))); \
	if [ -n "$$missing$$optional" ]; then \
		$(SUDO) apt-get update -qq && missing=$$(newest $$missing) && \
		optional=$$(packaged $$(absent $(2))) && \
		echo "installing:" $$missing $$optional && \
		$(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $(3) $$missing $$optional; \
	fi
endef

.PHONY: run test $(PRESETS:%=test-%) dist deps-run deps-test deps-dist clean

run: deps-run
	cmake --preset native-run
	cmake --build --preset native-run
	./build/native-run/latmeter/latmeter

# One target a preset, in order: make stops at the first that fails.
test: $(PRESETS:%=test-%)

$(PRESETS:%=test-%): test-%: deps-test
	@echo "== $*"
	@cmake --preset $* >/dev/null
	@cmake --build --preset $*
	@ctest --preset $*

# The presets run one after another, each with both cores.
.NOTPARALLEL:

# The packages' own members get the packer's umask: one for every packer.
dist: deps-dist
	rm -rf dist
	@umask 022; for p in $(DIST_PRESETS); do \
		cmake --preset $$p >/dev/null && cmake --build --preset $$p && \
		cpack --config build/$$p/CPackConfig.cmake -B dist || exit 1; \
	done
	rm -rf dist/_CPack_Packages
	cmake -DDIR=dist -DSIGN_KEY=$(SIGN_KEY) -P cmake/checksums.cmake
	cat dist/SHA256SUMS

deps-run:
	$(call install,$(RUN_PKGS))

deps-dist:
	$(call install,$(DIST_PKGS))

deps-test:
	@for a in $(FOREIGN_ARCHS); do dpkg --print-foreign-architectures | grep -qx $$a || \
		{ $(SUDO) dpkg --add-architecture $$a && added=1; }; \
	done; [ -z "$$added" ] || $(SUDO) apt-get update -qq
	$(call install,$(TEST_PKGS) $(GUEST_PKGS),$(LAB_PKGS),--no-install-recommends)
	@$(MAKE) --no-print-directory $(KERNEL_16K) $(BUSYBOX_ARM64)

# fetch_arm64 NAME-PATTERN,MEMBER,FILE: of the newest arm64 package whose name
# matches, only the one file.
define fetch_arm64
	@rm -rf $@.d && mkdir -p $@.d && cd $@.d && \
		pkg=$$($(call newest_package,'$(1)')) && \
		echo "fetching $${pkg:?no package like $(1)}:arm64" && \
		apt-get download -qq -o APT::Sandbox::User=root "$$pkg:arm64" && \
		dpkg-deb --fsys-tarfile *.deb | tar -xO --wildcards '$(2)' >file && \
		mv file ../$(notdir $@) && cd .. && rm -rf $(notdir $@).d
endef

$(KERNEL_16K):
	$(call fetch_arm64,^linux-image-6\.12\.[0-9.]+\+deb[0-9]+-arm64-16k-unsigned$$,./boot/vmlinuz-*)

$(BUSYBOX_ARM64):
	$(call fetch_arm64,^busybox-static$$,*bin/busybox)
	chmod 755 $@

clean:
	rm -rf build dist
