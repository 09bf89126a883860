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
	shellcheck git mksh busybox original-awk mandoc lintian
# A phone's commands: not every release packages toybox, and without it the
# runner's phone tests are skipped.
PHONE_PKGS := toybox
# The guests boot the Arm kernels of the newest Debian installer that this
# machine's archive has (a name with a ~ is the newest package whose name
# matches the pattern), with the emulator that boots them. The suite's
# packages come without their recommends, which would bring a whole
# desktop for the emulator's window.
GUEST_PKGS := qemu-system-arm device-tree-compiler '~^debian-installer-[0-9]+-netboot-arm64$$' \
	'~^debian-installer-[0-9]+-netboot-armhf$$'
# Debian's Arm packages, for the fetches below and the Debian packages'
# simulated installs, come through an apt configuration of the suite's own,
# with package lists for arm64 and armhf under build/: dpkg on this machine
# gains no architecture.
ARM_APT := $(CURDIR)/build/apt
ARM_APT_ENV := APT_CONFIG=$(ARM_APT)/apt.conf
# LAVA's dispatcher is fetched, not installed, since its package enables a
# root service; lava-run runs from the fetched copy, with the Python
# libraries that its packages depend on installed (less libguestfs, which
# brings disk tools and services, and which ramdisk jobs never use) and the
# commands it runs. Not every release packages it; without it, its jobs are
# skipped.
LAB_PKGS := lava-dispatcher lava-dispatcher-host lava-common
LAB_TOOLS := cpio fakeroot iproute2
lab_libs = apt-cache depends $(LAB_PKGS) 2>/dev/null | \
	awk '$$1 == "Depends:" && $$2 ~ /^python3-/ && $$2 != "python3-guestfs" { print $$2 }' | sort -u
# Fetched from Debian's packages, of each only what the suite needs, into
# build/fetched: the newest arm64 kernel with 16 KiB pages, a busybox with
# taskset for the board-lab ramdisk, and the dispatcher.
FETCHED := build/fetched
KERNEL_16K := $(FETCHED)/vmlinuz-arm64-16k
BUSYBOX_ARM64 := $(FETCHED)/busybox-arm64
LAVA := $(FETCHED)/lava
SUDO := $(if $(filter 0,$(shell id -u)),,sudo)

# newest_packages PATTERN: the packages whose names match, newest first by
# the version in the name, where there is one.
newest_packages = apt-cache search --names-only $(1) | cut -d' ' -f1 | \
	sed 's/^\([^0-9]*-\)\([0-9].*\)/\2 &/; t; s/^/0 /' | sort -Vr | cut -d' ' -f2
newest_package = $(newest_packages) | head -n1

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

# One target a preset, in order: make stops at the first that fails; then
# the release, as a user makes and checks it.
test: $(PRESETS:%=test-%)
	@echo "== release"
	@python3 tests/install_test.py --release

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
	cmake -DDIR=dist -DSIGN_KEY="$(SIGN_KEY)" -P cmake/checksums.cmake
	cat dist/SHA256SUMS

deps-run:
	$(call install,$(RUN_PKGS))

deps-dist:
	$(call install,$(DIST_PKGS))

deps-test:
	$(call install,$(TEST_PKGS) $(GUEST_PKGS),$(PHONE_PKGS) $(LAB_TOOLS) $$($(lab_libs)),--no-install-recommends)
	@mkdir -p $(ARM_APT)/lists/partial $(ARM_APT)/cache/archives/partial
	@printf '%s\n' 'APT::Architectures { "arm64"; "armhf"; };' 'APT::Sandbox::User "root";' \
		'Dir::State::Lists "$(ARM_APT)/lists";' 'Dir::Cache "$(ARM_APT)/cache";' >$(ARM_APT)/apt.conf
	$(ARM_APT_ENV) apt-get update -qq
	@$(MAKE) --no-print-directory $(KERNEL_16K) $(BUSYBOX_ARM64) $(LAVA)

# fetch PATTERN,ARCH,MEMBER: of the newest package for ARCH whose name matches
# and that holds MEMBER, only that member (a meta package holds no kernel).
define fetch
	@rm -rf $@.d && mkdir -p $@.d && cd $@.d && \
		for pkg in $$($(ARM_APT_ENV) $(call newest_packages,'$(1)')) ""; do \
			[ -n "$$pkg" ] || { echo "no $(2) package like $(1) holds $(3)" >&2; exit 1; }; \
			rm -f *.deb && $(ARM_APT_ENV) apt-get download -qq "$$pkg:$(2)" && \
			dpkg-deb --fsys-tarfile *.deb | tar -xO --wildcards '$(3)' >file 2>/dev/null && \
			[ -s file ] && echo "fetched $(3) from $$pkg:$(2)" && break; \
		done && mv file ../$(notdir $@) && cd .. && rm -rf $(notdir $@).d
endef

$(KERNEL_16K):
	$(call fetch,^linux-(image|binary)-.*-arm64-16k(-unsigned)?$$,arm64,*vmlinuz*)

$(BUSYBOX_ARM64):
	$(call fetch,^busybox-static$$,arm64,*bin/busybox)
	chmod 755 $@

# The dispatcher's packages unpacked, where this release has them.
$(LAVA):
	@rm -rf $@.d && mkdir -p $@.d && cd $@.d && \
		if apt-cache show $(LAB_PKGS) >/dev/null 2>&1; then \
			$(ARM_APT_ENV) apt-get download -qq $(LAB_PKGS) && \
			for deb in *.deb; do dpkg-deb -x $$deb root || exit 1; done && \
			mv root ../$(notdir $@) && echo "fetched $(LAB_PKGS)" || exit 1; \
		else echo "no $(LAB_PKGS) in this release: the lava jobs will be skipped"; fi; \
		cd .. && rm -rf $(notdir $@).d

clean:
	rm -rf build dist
