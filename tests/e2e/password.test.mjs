// A wiki behind the server's password (--user, and --password holding the hash
// `fernhollow --hash-password` printed): a browser that has the user name and
// password loads it and saves, by PUT and through the upload saver; one without
// them gets the 401 and saves nothing. With --guests read, a browser without
// them reads the wiki, but its save is refused.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, it } from 'node:test';
import {
    addTiddlerThroughEditor, backupDirName, buildPlainWikiPage, buildWikiPage, expectSaved, Fernhollow, hashPassword,
    launchChromium, makeTempDir, openWiki, pressSave, uploadPassword, uploadPasswordScript, uploadUser, waitForWiki,
    watchPage, welcomeText, welcomeTitle,
} from './support.mjs';

const putName = 'tiddly-put.html';
const uploadName = 'tiddly-upload.html';
const guestName = 'tiddly-guest.html';
const refusal = 'request refused: no user name and password given';

// Browser context options that answer `server`'s login request.
function login(server) {
    return { httpCredentials: { username: uploadUser, password: uploadPassword, origin: server.origin } };
}

describe('a wiki behind the server\'s password', { timeout: 300000 }, () => {
    let root;
    let hash;
    let locked;
    let guests;
    let browser;
    const originals = {};
    const onDisk = (name) => fs.readFileSync(path.join(root, name));

    before(async () => {
        root = makeTempDir('password-root');
        buildPlainWikiPage(root, putName);
        buildPlainWikiPage(root, guestName);
        // The upload saver's own password is the server's: the user fills in what the server asks for.
        buildWikiPage(root, uploadName);
        fs.mkdirSync(path.join(root, backupDirName));
        for (const name of [putName, uploadName, guestName]) originals[name] = onDisk(name);
        hash = hashPassword(uploadPassword);
        locked = await Fernhollow.start(root, ['--user', uploadUser, '--password', hash]);
        guests = await Fernhollow.start(root, ['--user', uploadUser, '--password', hash, '--guests', 'read']);
        browser = await launchChromium();
    });

    after(async () => {
        await browser?.close();
        await locked?.stop();
        await guests?.stop();
        if (root) fs.rmSync(root, { recursive: true, force: true });
    });

    it('loads and saves in place by PUT with the user name and password, the old page in the backup', async () => {
        const context = await browser.newContext(login(locked));
        const url = `${locked.origin}/${putName}`;
        const { page, seen } = await openWiki(context, url, locked);
        await addTiddlerThroughEditor(page, 'Behind the password', 'Saved with a login – 鍵 ✓');
        const sent = await expectSaved(page, await pressSave(page), url, locked);
        assert.deepEqual([seen.downloads, seen.dialogs, seen.errors], [[], [], []]);
        assert.ok(onDisk(putName).equals(sent), 'the page on disk is the page the wiki sent');
        assert.ok(onDisk(putName).includes(Buffer.from('Saved with a login – 鍵 ✓', 'utf8')));
        assert.ok(onDisk(path.join(backupDirName, putName)).equals(originals[putName]), 'the backup is the old page');
        await context.close();
    });

    it('saves through the upload saver with the user name and password, never showing the password', async () => {
        const context = await browser.newContext(login(locked));
        await context.addInitScript(uploadPasswordScript, uploadPassword);
        const page = await context.newPage();
        const seen = watchPage(page);
        await page.goto(`${locked.origin}/${uploadName}`);
        await waitForWiki(page);
        await addTiddlerThroughEditor(page, 'Uploaded with a login', 'Hochgeladen – 上げ ✓');
        const from = locked.console().length;
        await Promise.all([
            page.waitForRequest((r) => r.method() === 'POST' && r.url().endsWith('/savetiddly')),
            page.getByRole('button', { name: 'save changes' }).click(),
        ]);
        await page.locator('.tc-notification', { hasText: 'Saved wiki' }).waitFor();
        assert.equal(await page.evaluate(() => window.$tw.saverHandler.isDirty()), false);
        assert.deepEqual([seen.dialogs, seen.errors], [[], []]);
        assert.ok(onDisk(uploadName).includes(Buffer.from('Hochgeladen – 上げ ✓', 'utf8')), 'the page on disk is saved');
        assert.ok(onDisk(path.join(backupDirName, uploadName)).equals(originals[uploadName]));
        // The saver sends its password in the upload's options: the console shows it masked.
        await locked.waitForConsole('password is set: ********\n', from);
        for (const secret of [uploadPassword, hash]) {
            assert.ok(!locked.console().includes(secret), `the console never shows "${secret}":\n${locked.console()}`);
        }
        await context.close();
    });

    it('answers a browser without the user name and password 401, the page on disk unchanged', async () => {
        const context = await browser.newContext();
        const page = await context.newPage();
        const url = `${locked.origin}/${putName}`;
        const before = onDisk(putName);
        const from = locked.console().length;
        // Headless Chromium shows no login dialog: the navigation ends in an error after the 401
        // (its text is not kept, the browser shows an empty page).
        const [response, failure] = await Promise.all([page.waitForResponse(url), page.goto(url).catch((e) => e)]);
        assert.equal(response.status(), 401);
        assert.equal(response.headers()['www-authenticate'], 'Basic realm="Fernhollow", charset="UTF-8"');
        assert.match(String(failure), /net::ERR_INVALID_AUTH_CREDENTIALS/);
        await locked.waitForConsole(refusal, from);
        assert.ok(onDisk(putName).equals(before), 'the page on disk is unchanged');
        await context.close();
    });

    it('with --guests read: reads without a login but saves only with one', async () => {
        const url = `${guests.origin}/${guestName}`;
        const guest = await browser.newContext();
        const { page, seen } = await openWiki(guest, url, guests);
        const welcome = page.locator(`.tc-tiddler-view-frame[data-tiddler-title="${welcomeTitle}"] .tc-tiddler-body`);
        assert.equal((await welcome.textContent()).trim(), welcomeText);
        await addTiddlerThroughEditor(page, 'From a guest', 'Not to be saved ✗');
        const puts = [];
        page.on('response', (r) => { if (r.request().method() === 'PUT') puts.push(r.status()); });
        const from = guests.console().length;
        await page.getByRole('button', { name: 'save changes' }).click();
        await guests.waitForConsole(refusal, from);
        // Headless Chromium holds a request answered 401 for a login dialog it never shows: the wiki's
        // PUT gets no answer, so the wiki reports nothing and stays dirty, while a later read goes through.
        assert.equal(await page.evaluate(async () => (await fetch(window.location.href)).status), 200);
        assert.deepEqual([puts, seen.dialogs, seen.downloads], [[], [], []]);
        assert.equal(await page.evaluate(() => window.$tw.saverHandler.isDirty()), true);
        assert.ok(onDisk(guestName).equals(originals[guestName]), 'the page on disk is unchanged');
        await guest.close();

        // Loaded the same way by a browser that has the login: the PUT is refused once, and
        // Chromium sends it again with the user name and password, which saves.
        const member = await browser.newContext(login(guests));
        const tab = await openWiki(member, url, guests);
        await addTiddlerThroughEditor(tab.page, 'From a member', 'Saved after the 401 – ✓');
        const saveFrom = guests.console().length;
        const sent = await expectSaved(tab.page, await pressSave(tab.page), url, guests);
        const saveLines = guests.console().slice(saveFrom);
        assert.ok(saveLines.indexOf(refusal) >= 0 && saveLines.indexOf(refusal) < saveLines.indexOf('PUT request for'),
            `the first PUT was refused, the second saved:\n${saveLines}`);
        assert.ok(onDisk(guestName).equals(sent));
        assert.ok(onDisk(path.join(backupDirName, guestName)).equals(originals[guestName]));
        for (const secret of [uploadPassword, hash]) assert.ok(!guests.console().includes(secret));
        await member.close();
    });
});
