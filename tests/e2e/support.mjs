// Shared pieces of the browser tests: a TiddlyWiki page built from the pinned
// npm package with its upload saver pointed at Fernhollow, the real fernhollow
// binary serving a temporary folder, and Debian's Chromium driven by
// playwright-core.
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

export const repoRoot = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..');
export const outDir = path.join(repoRoot, 'tests', 'e2e', 'out');
const tiddlywikiDir = path.join(repoRoot, 'node_modules', 'tiddlywiki');
const binary = process.env.FERNHOLLOW_BINARY
    ? path.resolve(process.env.FERNHOLLOW_BINARY)
    : path.join(repoRoot, 'build', 'fernhollow');

// What the test wikis are set up with.
export const wikiFileName = 'tiddly-e2e.html';
export const backupDirName = 'backup';
export const siteTitle = 'Fernhollow test wiki';
export const uploadUser = 'e2e-user';
export const uploadPassword = 'e2e-secret';
// A tiddler shipped in the page: its text shows that non-ASCII bytes survive serving.
export const welcomeTitle = 'Welcome';
export const welcomeText = 'Willkommen – ようこそ – served by Fernhollow';

// A fresh folder under the system's temporary folder.
export function makeTempDir(label) {
    return fs.mkdtempSync(path.join(os.tmpdir(), `fernhollow-e2e-${label}-`));
}

// Boots the pinned package's command line with the Node.js floor at 18. Its
// package.json asks for 20 and its boot refuses older versions, yet the
// commands used here build the same page byte for byte on Debian 12's own
// Node.js 18 as on 20; the page itself runs in Chromium.
const tiddlywikiBoot = `
const $tw = require(${JSON.stringify(path.join(tiddlywikiDir, 'boot', 'boot.js'))}).TiddlyWiki();
const info = require(${JSON.stringify(path.join(tiddlywikiDir, 'package.json'))});
$tw.packageInfo = { ...info, engines: { ...info.engines, node: '>=18.0.0' } };
$tw.boot.argv = process.argv.slice(1);
$tw.boot.boot();`;

// Runs the TiddlyWiki command line of the pinned package.
function tiddlywiki(...args) {
    execFileSync(process.execPath, ['-e', tiddlywikiBoot, '--', ...args], { stdio: ['ignore', 'pipe', 'pipe'] });
}

// One tiddler in .tid form: fields, an empty line, the text.
function tidFile(fields, text) {
    const head = Object.entries(fields).map(([name, value]) => `${name}: ${value}`).join('\n');
    return `${head}\n\n${text}`;
}

// What every test wiki shows: its title, subtitle and the welcome tiddler on top.
const siteSettings = {
    '$:/SiteTitle': siteTitle,
    '$:/SiteSubtitle': 'a wiki served and saved by Fernhollow',
};

// Renders a single-file wiki from the "empty" edition into `targetDir`/`fileName`,
// holding `settings` (title to text, one tiddler each) and the welcome tiddler,
// which the page opens with. Returns the page's path.
function renderWikiPage(targetDir, fileName, settings) {
    const work = makeTempDir('build');
    try {
        const wikiDir = path.join(work, 'wiki');
        tiddlywiki(wikiDir, '--init', 'empty');
        const tiddlers = path.join(wikiDir, 'tiddlers');
        fs.mkdirSync(tiddlers, { recursive: true });
        const all = { ...settings, '$:/DefaultTiddlers': `[[${welcomeTitle}]]` };
        let index = 0;
        for (const [title, text] of Object.entries(all)) {
            fs.writeFileSync(path.join(tiddlers, `setting-${index++}.tid`), tidFile({ title }, text));
        }
        fs.writeFileSync(path.join(tiddlers, 'welcome.tid'), tidFile({ title: welcomeTitle }, welcomeText));
        const output = path.join(work, 'output');
        // The output name is a filter to --render, where a blank would cut the name in two.
        tiddlywiki(wikiDir, '--output', output, '--render', '$:/core/save/all', 'page.html', 'text/plain');
        fs.mkdirSync(targetDir, { recursive: true });
        const page = path.join(targetDir, fileName);
        fs.copyFileSync(path.join(output, 'page.html'), page);
        return page;
    } finally {
        fs.rmSync(work, { recursive: true, force: true });
    }
}

// Builds the upload-saver wiki into `targetDir`/`fileName`. The upload saver
// is configured as a user would in the control panel: the server address
// (relative, so the page saves to whichever server it was loaded from), file
// name, backup folder and user name; the password lives in the browser (see
// `uploadPasswordScript`). Autosave is off, so only the wiki's own save action
// saves. Returns the page's path.
export function buildWikiPage(targetDir, fileName = wikiFileName) {
    return renderWikiPage(targetDir, fileName, {
        ...siteSettings,
        '$:/UploadURL': '/savetiddly',
        '$:/UploadFilename': fileName,
        '$:/UploadBackupDir': backupDirName,
        '$:/UploadName': uploadUser,
        '$:/config/AutoSave': 'no',
    });
}

// Builds a wiki with no saver settings at all into `targetDir`/`fileName`: as
// a page served over HTTP it saves through TiddlyWiki's put saver, which
// writes the page back to its own address when the server offers PUT, and
// otherwise downloads it. Autosave as `autoSave` says. Returns the page's path.
export function buildPlainWikiPage(targetDir, fileName = wikiFileName, { autoSave = false } = {}) {
    return renderWikiPage(targetDir, fileName, { ...siteSettings, '$:/config/AutoSave': autoSave ? 'yes' : 'no' });
}

// Browser-side script that stores the upload password where the wiki's
// password field would have put it.
export function uploadPasswordScript(password) {
    // A new tab starts on about:blank, whose storage is out of reach; only the wiki's own page needs it.
    if (window.location.protocol !== 'http:') return;
    window.localStorage.setItem('tw5-password-upload', password);
}

// A TCP port on 127.0.0.1 that was free a moment ago.
export function freePort() {
    return new Promise((resolve, reject) => {
        const server = net.createServer();
        server.once('error', reject);
        server.listen(0, '127.0.0.1', () => {
            const { port } = server.address();
            server.close(() => resolve(port));
        });
    });
}

// The setting text of a password's hash as `fernhollow --hash-password`
// prints it, the password fed on its standard input as a script would.
export function hashPassword(password) {
    const printed = execFileSync(binary, ['--hash-password'], { input: `${password}\n`, encoding: 'utf8' });
    const match = /^password: (pbkdf2-sha256:\S+);\r?\n?$/.exec(printed);
    assert.ok(match, `fernhollow --hash-password printed one setting line: ${JSON.stringify(printed)}`);
    return match[1];
}

// The fernhollow binary serving `root` on a free port of 127.0.0.1 with the
// settings `extraArgs` adds, its console gathered line by line. Started in its
// own temporary working folder (the script gateway's exchange files land there).
export class Fernhollow {
    static async start(root, extraArgs = []) {
        // Another process may take the chosen port between the check and the bind; try again then.
        for (let attempt = 0; ; attempt++) {
            const server = new Fernhollow(root, await freePort(), extraArgs);
            if (await server.#waitListening()) return server;
            await server.stop();
            if (attempt === 4) throw new Error(`fernhollow did not start:\n${server.console()}`);
        }
    }

    constructor(root, port, extraArgs = []) {
        this.port = port;
        this.origin = `http://127.0.0.1:${port}`;
        this.workDir = makeTempDir('cwd');
        this.output = '';
        this.process = spawn(binary, ['--root', root, '--port', String(port), ...extraArgs], {
            cwd: this.workDir,
            stdio: ['ignore', 'pipe', 'pipe'],
        });
        this.exited = new Promise((resolve) => this.process.once('exit', (code, signal) => resolve({ code, signal })));
        this.process.stdout.setEncoding('utf8');
        this.process.stderr.setEncoding('utf8');
        this.process.stdout.on('data', (chunk) => { this.output += chunk; });
        this.process.stderr.on('data', (chunk) => { this.output += chunk; });
        this.process.once('error', (error) => { this.output += `\n[spawn failed: ${error.message}]\n`; });
    }

    // Resolves true once the listening line is out, false if the process ended first.
    async #waitListening() {
        const listening = `listening on 127.0.0.1:${this.port} for incoming connections`;
        let ended = false;
        this.exited.then(() => { ended = true; });
        while (!this.output.includes(listening)) {
            if (ended || this.process.exitCode !== null) return false;
            await new Promise((resolve) => setTimeout(resolve, 20));
        }
        return true;
    }

    // The path separator of the server under test ("/", or "\\" for the Windows
    // program), as its default root shows it on the console.
    separator() {
        const match = /adding key root with \.(.)\n/.exec(this.output);
        return match ? match[1] : path.sep;
    }

    // Everything the server wrote so far.
    console() {
        return this.output;
    }

    // Waits (up to a generous limit, only against hangs) until `text` appears in the console after `from`.
    async waitForConsole(text, from = 0, limitMs = 30000) {
        const deadline = Date.now() + limitMs;
        while (!this.output.includes(text, from)) {
            if (Date.now() > deadline) throw new Error(`"${text}" never appeared on the console:\n${this.output}`);
            await new Promise((resolve) => setTimeout(resolve, 20));
        }
    }

    async stop() {
        if (this.process.exitCode === null && this.process.signalCode === null) this.process.kill('SIGTERM');
        await this.exited;
        fs.rmSync(this.workDir, { recursive: true, force: true });
    }
}

// Debian's Chromium, headless, with a new empty profile; it never fetches
// anything on its own.
export function launchChromium() {
    return chromium.launch({
        executablePath: '/usr/bin/chromium',
        headless: true,
        args: [
            '--headless',
            '--no-sandbox',
            '--disable-gpu',
            '--disable-quic',
            '--no-first-run',
            '--disable-background-networking',
            '--disable-component-update',
            '--disable-sync',
        ],
    });
}

// Collects what a page says through dialogs (the wiki alerts on a failed
// save) and its script errors; dialogs are dismissed so nothing blocks, but
// for the one asking to leave a page with unsaved changes, which is accepted.
export function watchPage(page) {
    const seen = { dialogs: [], errors: [], console: [] };
    page.on('dialog', (dialog) => {
        // Leaving a wiki with unsaved changes asks first; a test that reloads means to leave.
        if (dialog.type() === 'beforeunload') {
            dialog.accept().catch(() => {});
            return;
        }
        seen.dialogs.push(dialog.message());
        dialog.dismiss().catch(() => {});
    });
    page.on('pageerror', (error) => seen.errors.push(String(error)));
    page.on('console', (message) => seen.console.push(message.text()));
    return seen;
}

// Waits until the wiki in `page` has started and shows its story river.
export async function waitForWiki(page) {
    await page.waitForFunction(() => window.$tw && window.$tw.wiki && window.$tw.saverHandler && window.$tw.rootWidget);
    await page.locator('.tc-story-river .tc-tiddler-frame').first().waitFor();
}

// Saves a screenshot under tests/e2e/out/.
export async function screenshot(page, name) {
    fs.mkdirSync(outDir, { recursive: true });
    await page.screenshot({ path: path.join(outDir, name), fullPage: false });
}

// The test wiki, saved under `fileName`, in a fresh root with its backup
// folder, Fernhollow serving that root, and a Chromium to load it; `close`
// ends them and removes the root.
export async function startWikiSite(fileName = wikiFileName) {
    const root = makeTempDir('root');
    const site = {
        root,
        pagePath: buildWikiPage(root, fileName),
        backupPath: path.join(root, backupDirName, fileName),
        async close() {
            await site.browser?.close();
            await site.server?.stop();
            fs.rmSync(root, { recursive: true, force: true });
        },
    };
    fs.mkdirSync(path.join(root, backupDirName));
    site.server = await Fernhollow.start(root);
    site.browser = await launchChromium();
    return site;
}

// The put saver of a wiki without saver settings, as the put-saves and history tests drive it.

// Under Wine the server answers much more slowly; these limits only guard against hangs.
export const probeLimitMs = 30000;
export const saveLimitMs = 60000;

// Writes a new tiddler through the wiki's editor, as a person would.
export async function addTiddlerThroughEditor(page, title, text) {
    // The editor of a tiddler written just before may still be animating away, with buttons of its own.
    await page.waitForFunction(() => document.querySelectorAll('.tc-tiddler-edit-frame').length === 0);
    await page.getByRole('button', { name: 'new tiddler', exact: true }).click();
    const editor = page.locator('.tc-tiddler-edit-frame');
    await editor.waitFor();
    await editor.locator('input.tc-titlebar').fill(title);
    await editor.frameLocator('iframe.tc-edit-texteditor-body').locator('textarea').fill(text);
    await editor.getByRole('button', { name: 'Confirm changes to this tiddler' }).click();
    await page.locator(`.tc-tiddler-view-frame[data-tiddler-title="${title}"]`).waitFor();
}

// What the wiki's put saver learned from its probes on load: whether the
// server takes PUTs (null until the OPTIONS answer came) and the ETag kept
// from the HEAD answer (null until then, or when it carried none).
export function putSaverState(page) {
    return page.evaluate(() => {
        const saver = window.$tw.saverHandler.savers.find((s) => s.info.name === 'put');
        return saver ? { acceptsPuts: saver.serverAcceptsPuts ?? null, etag: saver.etag ?? null } : null;
    });
}

// Opens `url` in a new tab of `context` and waits until the wiki runs and its
// put saver has both probe answers: the server offers PUT and named an ETag.
// Returns the tab and what it showed (dialogs, errors, downloads).
export async function openWiki(context, url, server) {
    const page = await context.newPage();
    const seen = watchPage(page);
    seen.downloads = [];
    page.on('download', (download) => seen.downloads.push(download.suggestedFilename()));
    // The probes as the browser saw them, for the message when they do not come out right.
    const probes = [];
    page.on('response', (response) => {
        const method = response.request().method();
        if (method === 'OPTIONS' || method === 'HEAD') {
            probes.push(`${method} -> ${response.status()} ${JSON.stringify(response.headers())}`);
        }
    });
    page.on('requestfailed', (request) => probes.push(`${request.method()} failed: ${request.failure()?.errorText}`));
    await page.goto(url);
    await waitForWiki(page);
    const deadline = Date.now() + probeLimitMs;
    let state = await putSaverState(page);
    while (!(state && state.acceptsPuts !== null && state.etag !== null) && Date.now() < deadline) {
        await new Promise((resolve) => setTimeout(resolve, 50));
        state = await putSaverState(page);
    }
    const probeReport = `put saver ${JSON.stringify(state)}; probes: ${probes.join('; ') || 'none answered'}`
        + `\nserver console:\n${server.console()}`;
    assert.equal(state?.acceptsPuts, true, `the server offers PUT at ${url}: ${probeReport}`);
    assert.match(state.etag, /^"[^"]+"$/, `the page's ETag is strong and quoted: ${probeReport}`);
    return { page, seen };
}

// Presses the wiki's save button and returns the answer to the PUT it sent.
// A download in its place (the wiki's fallback when the server takes no PUT)
// fails at once.
export async function pressSave(page) {
    let onDownload;
    const downloaded = new Promise((resolve, reject) => {
        onDownload = (download) => reject(new Error(`the wiki downloaded "${download.suggestedFilename()}" `
            + 'instead of saving in place'));
        page.once('download', onDownload);
    });
    const answered = page.waitForResponse((r) => r.request().method() === 'PUT', { timeout: saveLimitMs });
    downloaded.catch(() => {});
    answered.catch(() => {});
    try {
        await page.getByRole('button', { name: 'save changes' }).click();
        return await Promise.race([answered, downloaded]);
    } finally {
        page.off('download', onDownload);
    }
}

// Checks that `response` is a successful PUT save to `url` and that the wiki
// took it as one (no longer dirty); returns the page bytes the wiki sent.
export async function expectSaved(page, response, url, server) {
    assert.equal(response.status(), 204, `the save is answered 204; server console:\n${server.console()}`);
    assert.equal(response.url(), url, 'the wiki put the page to its own address');
    assert.equal(await response.text(), '');
    assert.match(response.headers().etag ?? '', /^"[^"]+"$/, 'the answer names the new ETag');
    await page.locator('body:not(.tc-dirty)').waitFor({ state: 'attached', timeout: saveLimitMs });
    assert.equal(await page.evaluate(() => window.$tw.saverHandler.isDirty()), false);
    assert.equal((await putSaverState(page)).etag, response.headers().etag, 'the wiki keeps the new ETag');
    return response.request().postDataBuffer();
}

// The ETag the server now names for `url` (a HEAD from outside the browser).
export async function currentETag(url) {
    const answer = await fetch(url, { method: 'HEAD' });
    assert.equal(answer.status, 200);
    return answer.headers.get('etag');
}

// Checks a refused save (412): the wiki shows TiddlyWiki's "File changed on
// server" alert with the server's text, stays dirty, and the server kept the
// refused page as a conflict copy in the page's history, named in its text.
// Returns the conflict copy's path.
export async function expectConflict({ page, seen, response, root, name }) {
    assert.equal(response.status(), 412);
    assert.match(response.headers()['content-type'] ?? '', /^text\/plain/);
    const text = await response.text();
    const sent = response.request().postDataBuffer();
    const deadline = Date.now() + saveLimitMs;
    while (seen.dialogs.length === 0 && Date.now() < deadline) await new Promise((r) => setTimeout(r, 20));
    assert.deepEqual(seen.dialogs, [`Error while saving:\n\nFile changed on server\n\n${text}`]);
    assert.equal(await page.evaluate(() => window.$tw.saverHandler.isDirty()), true, 'the wiki still holds its edit');

    const pattern = /^\d{4}-\d{2}-\d{2}_\d{2}-\d{2}-\d{2}(-\d+)?\.conflict\.html$/;
    const history = path.join(root, 'history', name);
    const copies = fs.readdirSync(history).filter((file) => pattern.test(file));
    assert.equal(copies.length, 1, `one conflict copy of ${name} in history/${name}/: ${copies}`);
    const copy = path.join(history, copies[0]);
    assert.ok(fs.readFileSync(copy).equals(sent), 'the conflict copy is the refused page, byte for byte');
    assert.ok(text.includes(copies[0]), `the server's text names the conflict copy ${copies[0]}: ${text}`);
    return { copy, text };
}
